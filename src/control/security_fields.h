#pragma once

#include <string>

#include "delivery/oauth_provider.h"

namespace vellomar {

// What the Next relay security dialog edits: the next relay's TLS and login values, its
// sign-in and MX_TLS, as stored. `tls` is the stored SMTP_TLS text ("" for the automatic
// choice).
struct SecurityFields {
  std::string tls;
  std::string user;
  std::string password;
  std::string passwordCommand;
  bool xoauth2 = false;
  std::string fingerprint;
  bool exchangersMayUseTls = false;
  // SMTP_OAuth and the rest.
  OAuthSettings signIn;
  // The next relay (SMTP), stored only where none is set yet: the one a provider suggests.
  std::string nextRelay;
};

SecurityFields LoadSecurityFields();
// Stores the values; they are in use once the relay settings are read again.
void StoreSecurityFields(const SecurityFields& fields);
// The next relay that goes with a provider ("smtp.office365.com:587" for "microsoft"); empty
// for a custom one or none.
std::string SuggestedNextRelay(const std::string& provider);

}  // namespace vellomar
