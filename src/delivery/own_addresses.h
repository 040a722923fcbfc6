#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/ip_address.h"
#include "platform/socket_address.h"

namespace vellomar {

class RelayServices;

// The relay's own listening addresses, as a hop's addresses may name them: a port the running
// listener is bound to, on an address that reaches this machine (loopback, the unspecified
// address, or an address of one of its interfaces, since the listener binds them all). Mail
// sent there would come straight back and go round for ever. A plain value, taken afresh for
// each route, so that an address the machine gained or lost counts at once. The interfaces are
// asked for (a netlink dump, a dozen system calls) only when an address on a listening port
// must be told apart, which a next relay on another port never needs. Used by one thread.
class OwnAddresses {
 public:
  OwnAddresses(std::vector<int> ports, const std::vector<SocketAddress>& interfaces);
  // The running listener's ports; none while no listener runs.
  static OwnAddresses Of(RelayServices& relay);

  bool empty() const { return ports_.empty(); }
  bool Contains(const SocketAddress& address) const;

 private:
  explicit OwnAddresses(std::vector<int> ports) : ports_(std::move(ports)) {}
  const std::vector<IpAddress>& Interfaces() const;

  std::vector<int> ports_;
  mutable std::optional<std::vector<IpAddress>> interfaces_;
};

// Things a relay's deliveries say once while it runs, however often they meet them (an
// exchanger written as an address). Bounded: past kMostRemembered it forgets and may say a
// thing again.
//
// Lock contract: one lock of its own, held only inside First.
class SaidOnce {
 public:
  static constexpr size_t kMostRemembered = 1000;
  // True the first time `what` is asked about.
  bool First(const std::string& what);

 private:
  std::mutex lock_;
  std::set<std::string> said_;
};

}  // namespace vellomar
