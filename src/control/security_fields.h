#pragma once

#include <string>

namespace vellomar {

// What the Next relay security dialog edits: the next relay's TLS and login values and
// MX_TLS, as stored. `tls` is the stored SMTP_TLS text ("" for the automatic choice).
struct SecurityFields {
  std::string tls;
  std::string user;
  std::string password;
  std::string passwordCommand;
  bool xoauth2 = false;
  std::string fingerprint;
  bool exchangersMayUseTls = false;
};

SecurityFields LoadSecurityFields();
// Stores the values; they are in use once the relay settings are read again.
void StoreSecurityFields(const SecurityFields& fields);

}  // namespace vellomar
