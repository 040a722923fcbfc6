#include "smtp_server/relay_policy.h"

#include "common/settings.h"

namespace vellomar {

namespace {

constexpr PolicyAnswer kGoOn{};
constexpr PolicyAnswer kAccessDenied{"554 5.7.1 Access denied\r\n"};

}  // namespace

RelayPolicy::RelayPolicy(const Settings& settings, const IpAddress& client)
    : inAllow_(settings.Allow.Contains(client)), loopback_(IsLoopback(client)) {}

PolicyAnswer RelayPolicy::AtConnect() const { return inAllow_ ? kGoOn : kAccessDenied; }

PolicyAnswer RelayPolicy::AtMail() const { return kGoOn; }

PolicyAnswer RelayPolicy::AtRcpt() const { return kGoOn; }

}  // namespace vellomar
