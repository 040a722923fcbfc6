#include "common/login_failures.h"

#include <algorithm>

namespace vellomar {

namespace {

// Past this many addresses, those with nothing left to remember are forgotten, so that a
// client changing its address with every try cannot make the list grow without end.
constexpr size_t kSweepAbove = 4096;

std::array<uint8_t, 16> Counted(const IpAddress& client) {
  std::array<uint8_t, 16> counted = client.bytes;
  if (!client.IsIpv4()) std::fill(counted.begin() + 8, counted.end(), 0);
  return counted;
}

}  // namespace

LoginFailures::Entry& LoginFailures::Current(const IpAddress& client, Clock::time_point now,
                                             const LoginLimits& limits) {
  if (entries_.size() > kSweepAbove) Sweep(now, limits);
  Entry& entry = entries_[Counted(client)];
  auto recent = std::find_if(entry.failures.begin(), entry.failures.end(),
                             [&](Clock::time_point at) { return now - at < limits.failureWindow; });
  entry.failures.erase(entry.failures.begin(), recent);
  return entry;
}

LoginFailures::Check LoginFailures::Reserve(const IpAddress& client, Clock::time_point now,
                                            const LoginLimits& limits) {
  std::lock_guard<std::mutex> guard(lock_);
  Entry& entry = Current(client, now, limits);
  if (entry.blockedUntil > now) return Check::Barred;
  if (entry.failures.size() + static_cast<size_t>(entry.checking) >= static_cast<size_t>(kFailuresPerAddress)) {
    return Check::Busy;
  }
  ++entry.checking;
  return Check::Granted;
}

LoginFailures::Settled LoginFailures::Settle(const IpAddress& client, bool failed, Clock::time_point now,
                                             const LoginLimits& limits) {
  std::lock_guard<std::mutex> guard(lock_);
  Entry& entry = Current(client, now, limits);
  entry.checking = std::max(0, entry.checking - 1);
  Settled settled;
  settled.suspect = !entry.failures.empty() || entry.checking > 0;
  if (failed) {
    entry.failures.push_back(now);
    if (entry.failures.size() >= static_cast<size_t>(kFailuresPerAddress)) {
      entry.blockedUntil = now + limits.blockTime;
      entry.failures.clear();
    }
  }
  settled.barred = entry.blockedUntil > now;
  return settled;
}

bool LoginFailures::Blocked(const IpAddress& client, Clock::time_point now) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = entries_.find(Counted(client));
  return found != entries_.end() && found->second.blockedUntil > now;
}

void LoginFailures::Sweep(Clock::time_point now, const LoginLimits& limits) {
  std::erase_if(entries_, [&](const auto& item) {
    const Entry& entry = item.second;
    bool recent = !entry.failures.empty() && now - entry.failures.back() < limits.failureWindow;
    return !recent && entry.blockedUntil <= now && entry.checking == 0;
  });
}

}  // namespace vellomar
