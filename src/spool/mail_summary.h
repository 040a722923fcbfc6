#pragma once

#include <cstdint>
#include <string>

namespace vellomar {

// What the window shows about one message being received or delivered.
struct MailSummary {
  std::string sender = "Unknown";
  std::string name;
  int32_t recipientCount = 0;
  std::string subject = "Unknown";
  int32_t size = 0;
};

}  // namespace vellomar
