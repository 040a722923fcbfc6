#include "smtp_server/relay_policy.h"

#include "common/settings.h"

namespace vellomar {

namespace {

constexpr PolicyAnswer kGoOn{};
constexpr PolicyAnswer kAccessDenied{"554 5.7.1 Access denied\r\n"};
constexpr PolicyAnswer kBlocked{"421 4.7.0 Too many failed logins, try again later\r\n"};
constexpr PolicyAnswer kAuthenticationRequired{"530 5.7.0 Authentication required\r\n"};
constexpr PolicyAnswer kAlreadyLoggedIn{"503 5.5.1 Already authenticated\r\n"};
constexpr PolicyAnswer kEncryptionRequired{"538 5.7.11 Encryption required for requested authentication mechanism\r\n"};

}  // namespace

RelayPolicy::RelayPolicy(const Settings& settings, const IpAddress& client, ConnectFacts facts)
    : client_(client),
      facts_(facts),
      inAllow_(settings.Allow.Contains(client)),
      loopback_(IsLoopback(client)),
      requireAuth_(settings.RequireAuth),
      authInClear_(settings.AuthInClear) {}

PolicyAnswer RelayPolicy::AtConnect() const {
  if (facts_.blocked) return kBlocked;
  if (inAllow_) return kGoOn;
  return facts_.loginPossible && !requireAuth_ ? kGoOn : kAccessDenied;
}

PolicyAnswer RelayPolicy::AtAuth() const {
  if (!user_.empty()) return kAlreadyLoggedIn;
  return MayLogIn() ? kGoOn : kEncryptionRequired;
}

PolicyAnswer RelayPolicy::AtMail() const {
  if (!user_.empty()) return kGoOn;
  return requireAuth_ || !inAllow_ ? kAuthenticationRequired : kGoOn;
}

PolicyAnswer RelayPolicy::AtRcpt() const { return kGoOn; }

}  // namespace vellomar
