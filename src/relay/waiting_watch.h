#pragma once

#include <chrono>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace vellomar {

// Watches how long the waiting mail of a folder has waited: lists its spool files, reads each
// new one's envelope and arrival once (the trace header's date; for a file without one, a
// notice, when the file was made), and tells which passed a given age since the last look,
// each once. The relay's status keeper looks every minute.
//
// Lock contract: none; used by one thread.
class WaitingWatch {
 public:
  struct Message {
    std::string name;
    std::string sender;
    // The first recipient still pending ("" when none is).
    std::string recipient;
    std::time_t arrival = 0;
  };

  explicit WaitingWatch(std::string directory) : directory_(std::move(directory)) {}

  // Looks at the folder as it is at `now`: the messages that have waited longer than `limit`
  // and were not told of before.
  std::vector<Message> Look(std::time_t now, std::chrono::seconds limit);
  // The spool files found at the last look, in name order.
  std::vector<std::string> Names() const;

 private:
  struct Known {
    FileIdentity identity;
    Message message;
    bool told = false;
  };
  std::optional<Known> Read(const std::string& name, const FileIdentity& identity) const;

  const std::string directory_;
  std::map<std::string, Known> known_;
};

}  // namespace vellomar
