#include "delivery/next_relay_security.h"

#include <mutex>

#include "common/server_address.h"
#include "common/text.h"
#include "common/settings.h"

namespace vellomar {

namespace {

constexpr uint16_t kSmtpPort = 25;
constexpr uint16_t kImplicitTlsPort = 465;

NextRelaySecurity::Tls ExchangerTls() {
  return EqualsIgnoreCase(TheSettings().MX_TLS.Get(), "may") ? NextRelaySecurity::Tls::May
                                                              : NextRelaySecurity::Tls::None;
}

// An empty or unknown SMTP_TLS never sends a login in the clear: with a user it asks for
// TLS, on port 465 from the first byte. A pinned certificate means TLS to exactly that
// certificate, so it asks for TLS whatever the text says: a man in the middle that strips
// STARTTLS from the EHLO reply must not get the message in the clear.
NextRelaySecurity::Tls NextRelayTls(const std::string& text, bool login, bool pinned, uint16_t port) {
  using Tls = NextRelaySecurity::Tls;
  if (EqualsIgnoreCase(text, "starttls")) return Tls::StartTls;
  if (EqualsIgnoreCase(text, "tls")) return Tls::Implicit;
  if (!pinned) {
    if (EqualsIgnoreCase(text, "none")) return Tls::None;
    if (EqualsIgnoreCase(text, "may")) return Tls::May;
    if (text.empty() && !login) return Tls::None;
  }
  return port == kImplicitTlsPort ? Tls::Implicit : Tls::StartTls;
}

}  // namespace

NextRelaySecurity NextRelaySecurityFor(const std::string& server, bool trueRelaying) {
  NextRelaySecurity security;
  ServerAddress address = ParseServerAddress(server, kSmtpPort);
  security.check.host = address.host;
  if (trueRelaying) {
    security.tls = ExchangerTls();
    return security;
  }
  Settings& settings = TheSettings();
  std::string tls;
  std::string fingerprint;
  {
    std::lock_guard<std::mutex> guard(settings.securityLock);
    security.settingsChanged = settings.SMTP.Get() != server;
    security.user = settings.SMTP_User.Get();
    security.password = settings.SMTP_Password.Get();
    security.passwordCommand = settings.SMTP_PasswordCommand.Get();
    security.mechanism = settings.SMTP_Auth.Get();
    tls = settings.SMTP_TLS.Get();
    fingerprint = settings.SMTP_Fingerprint.Get();
  }
  security.tls = NextRelayTls(tls, !security.user.empty(), !fingerprint.empty(), address.port);
  if (!fingerprint.empty()) {
    security.check.mode = TlsPeerCheck::Mode::Fingerprint;
    security.check.fingerprint = fingerprint;
  } else if (security.RequiresTls()) {
    security.check.mode = TlsPeerCheck::Mode::Chain;
  }
  return security;
}

}  // namespace vellomar
