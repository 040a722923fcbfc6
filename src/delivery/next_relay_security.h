#pragma once

#include <memory>
#include <string>

#include "platform/tls_stream.h"

namespace vellomar {

class OAuthTokens;
struct Settings;

// How the client protects one connection and whether it logs in, as the settings ask for the
// server it is about to reach. Built from the delivery's settings snapshot, so that a login is
// always paired with the server and the TLS choice of the same settings.
struct NextRelaySecurity {
  enum class Tls {
    None,      // the stored dialogue as it is (or EHLO and a login in the clear when asked)
    May,       // STARTTLS when the server offers it, certificate not checked
    StartTls,  // STARTTLS required
    Implicit,  // TLS from the first byte
  };
  Tls tls = Tls::None;
  TlsPeerCheck check;
  // Empty: no login.
  std::string user;
  std::string password;
  std::string passwordCommand;
  // Empty for the best of PLAIN and LOGIN; or "XOAUTH2".
  std::string mechanism;
  // When set, the login is XOAUTH2 with the access tokens of this sign-in, in place of the
  // password and its command.
  std::shared_ptr<OAuthTokens> tokens;

  // The plain replayed dialogue is kept unless TLS or a login is asked for.
  bool SpeaksEsmtp() const { return tls != Tls::None || !user.empty(); }
  bool RequiresTls() const { return tls == Tls::StartTls || tls == Tls::Implicit; }
};

// The security for `server`: the next relay's settings (SMTP_TLS, SMTP_User, ...) in simple
// relaying, MX_TLS for exchangers and the alternate server in true relaying.
NextRelaySecurity NextRelaySecurityFor(const Settings& settings, const std::string& server, bool trueRelaying);

}  // namespace vellomar
