#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_descriptor.h"
#include "platform/socket_address.h"

namespace vellomar {

// Connecting to one server whose name gave several addresses, as RFC 8305 ("Happy
// Eyeballs") asks: the addresses are tried in their order, each for at most the connect limit;
// the next one starts when the one before has failed, or `stagger` after it started while it
// is still under way; the first to connect wins and the others are closed. An address that
// failed is not tried again by the same race; the caller may also fail the winner (a 4xx
// greeting, or none) and race the rest. Owned by one thread; nothing is shared.
class AddressRace {
 public:
  struct Timing {
    std::chrono::milliseconds connect;
    std::chrono::milliseconds stagger;
  };
  struct Winner {
    FileDescriptor socket;  // connected, blocking
    size_t index;           // in addresses()
  };

  // `abandon` is asked at least every 100 ms; once it says so, the race ends without a winner.
  AddressRace(std::vector<SocketAddress> addresses, Timing timing, std::function<bool()> abandon);

  // The first address not failed yet to connect; nothing when every one failed, or the race
  // was abandoned.
  std::optional<Winner> Connect();
  // Marks an address failed, with the reason shown for it.
  void Fail(size_t index, const std::string& why);
  // Whether an address other than this one has not failed yet.
  bool OthersLeft(size_t index) const;
  const std::vector<SocketAddress>& addresses() const { return addresses_; }
  // Each failed address with its reason, in the order tried: "[2001:db8::25]: Connection
  // refused; [192.0.2.25]: Connection timed out".
  std::string Failures() const;

 private:
  struct Attempt {
    size_t index;
    FileDescriptor socket;
    std::chrono::steady_clock::time_point deadline;
  };
  // Starts the attempt; a socket connected at once is the winner.
  std::optional<Winner> Start(size_t index, std::vector<Attempt>& running);
  std::optional<Winner> AwaitAny(std::vector<Attempt>& running, std::chrono::milliseconds wait);
  void Expire(std::vector<Attempt>& running);

  std::vector<SocketAddress> addresses_;
  Timing timing_;
  std::function<bool()> abandon_;
  std::vector<std::string> failures_;  // by index; empty while not failed
  std::vector<size_t> failedOrder_;
  // Set whenever an attempt failed: the next one starts at once, not a stagger later.
  bool startNow_ = false;
};

// An address as the log shows it: "[192.0.2.25]", "[2001:db8::25]".
std::string BracketedAddress(const SocketAddress& address);

}  // namespace vellomar
