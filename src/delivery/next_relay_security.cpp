#include "delivery/next_relay_security.h"

#include "common/server_address.h"
#include "common/settings.h"
#include "common/text.h"

namespace vellomar {

namespace {

constexpr uint16_t kSmtpPort = 25;
constexpr uint16_t kImplicitTlsPort = 465;

NextRelaySecurity::Tls ExchangerTls(const Settings& settings) {
  return EqualsIgnoreCase(settings.MX_TLS, "may") ? NextRelaySecurity::Tls::May : NextRelaySecurity::Tls::None;
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

NextRelaySecurity NextRelaySecurityFor(const Settings& settings, const std::string& server, bool trueRelaying) {
  NextRelaySecurity security;
  ServerAddress address = ParseServerAddress(server, kSmtpPort);
  security.check.host = address.host;
  if (trueRelaying) {
    security.tls = ExchangerTls(settings);
    return security;
  }
  security.user = settings.SMTP_User;
  security.password = settings.SMTP_Password;
  security.passwordCommand = settings.SMTP_PasswordCommand;
  security.mechanism = settings.SMTP_Auth;
  const std::string& fingerprint = settings.SMTP_Fingerprint;
  security.tls = NextRelayTls(settings.SMTP_TLS, !security.user.empty(), !fingerprint.empty(), address.port);
  if (!fingerprint.empty()) {
    security.check.mode = TlsPeerCheck::Mode::Fingerprint;
    security.check.fingerprint = fingerprint;
  } else if (security.RequiresTls()) {
    security.check.mode = TlsPeerCheck::Mode::Chain;
  }
  return security;
}

}  // namespace vellomar
