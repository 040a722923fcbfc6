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
// A check takes its place before the password is hashed (Reserve) and gives it back with its
// outcome (Settle): the checks under way count as failures until then, so that however many
// sessions of one address guess at once, no more than `kFailuresPerAddress` passwords of it
// are ever checked within the window.
//
// Lock contract: one lock of its own, held only inside each call.
class LoginFailures {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kFailuresPerAddress = 10;

  enum class Check {
    Granted,  // the password may be checked; Settle follows
    Barred,   // the address is refused
    Busy,     // its failures and the checks under way already fill its limit
  };
  Check Reserve(const IpAddress& client, Clock::time_point now, const LoginLimits& limits);

  struct Settled {
    // The address is refused from now on.
    bool barred = false;
    // The address failed within the window, or other checks of it are under way: a good
    // password must be answered no sooner than a bad one, or its speed would give it away.
    bool suspect = false;
  };
  // The outcome of a check that Reserve granted.
  Settled Settle(const IpAddress& client, bool failed, Clock::time_point now, const LoginLimits& limits);

  bool Blocked(const IpAddress& client, Clock::time_point now) const;

 private:
  struct Entry {
    // The failures within the window, oldest first.
    std::vector<Clock::time_point> failures;
    Clock::time_point blockedUntil{};
    // Checks granted and not settled yet.
    int checking = 0;
  };
  // The address's entry with the failures that left the window dropped.
  Entry& Current(const IpAddress& client, Clock::time_point now, const LoginLimits& limits);
  // Forgets the addresses whose failures have all left the window, that are not refused and
  // have no check under way.
  void Sweep(Clock::time_point now, const LoginLimits& limits);

  mutable std::mutex lock_;
  // By the counted address's bytes.
  std::map<std::array<uint8_t, 16>, Entry> entries_;
};

}  // namespace vellomar
