#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "common/ip_address.h"
#include "common/relay_timings.h"

namespace vellomar {

// The failed logins of a relay's clients, across all their sessions: an address that failed
// `kFailuresPerAddress` times within the limits' window is refused for their block time. An
// IPv6 client is counted by its /64, which one machine can fill with addresses of its own.
//
// Lock contract: one lock of its own, held only inside each call.
class LoginFailures {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kFailuresPerAddress = 10;

  // Records one failure at `now`; true when the address is refused from now on.
  bool Record(const IpAddress& client, Clock::time_point now, const LoginLimits& limits);
  bool Blocked(const IpAddress& client, Clock::time_point now) const;

 private:
  struct Entry {
    // The failures within the window, oldest first.
    std::vector<Clock::time_point> failures;
    Clock::time_point blockedUntil{};
  };
  // Forgets the addresses whose failures have all left the window and that are not refused.
  void Sweep(Clock::time_point now, const LoginLimits& limits);

  mutable std::mutex lock_;
  // By the counted address's bytes.
  std::map<std::array<uint8_t, 16>, Entry> entries_;
};

}  // namespace vellomar
