#pragma once

#include <string>

#include "control/registry_key.h"
#include "sign_in/oauth_provider.h"

namespace vellomar {

// What the account dialog edits of one account, as stored in its key: the next relay, its TLS
// and login values, its sign-in, the senders it sends for and its pace; MX_TLS for the default
// account alone; how its mail leaves (Transport: "" or "smtp", "graph") with Graph's address and
// whether Graph keeps a copy in Sent Items. `tls` is the stored SMTP_TLS text ("" for the automatic choice). The counts
// stay texts as typed: empty and "0" both leave the choice to the relay.
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
  // SMTP.
  std::string nextRelay;
  std::string senders;
  std::string rewriteSender;
  std::string messagesPerConnection;
  std::string connectionsPerRelay;
  std::string maxPerMinute;
  std::string maxRecipientsPerDay;
  std::string transport;
  std::string graphUrl;  // empty: Microsoft's worldwide service
  bool graphSaveToSent = true;
};

// `key` is the main key (the default account) or an account's section; exchangers are reached
// the same way whichever account sent, so MX_TLS is read and stored in the main key only.
SecurityFields LoadSecurityFields(const RegistryKey& key = SettingsKey());
// Stores the values; they are in use once the relay settings are read again.
void StoreSecurityFields(const SecurityFields& fields, const RegistryKey& key = SettingsKey());
// The next relay that goes with a provider ("smtp.office365.com:587" for "microsoft"); empty
// for a custom one or none.
std::string SuggestedNextRelay(const std::string& provider);

}  // namespace vellomar
