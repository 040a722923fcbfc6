#include "delivery/own_addresses.h"

#include <algorithm>

#include "platform/interface_addresses.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

// 0.0.0.0 and ::, which a connect takes for this machine.
bool IsUnspecified(const IpAddress& address) {
  const auto& b = address.bytes;
  if (address.IsIpv4()) return std::all_of(b.begin() + 12, b.end(), [](uint8_t x) { return x == 0; });
  return std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0; });
}

std::vector<IpAddress> IpAddressesOf(const std::vector<SocketAddress>& interfaces) {
  std::vector<IpAddress> addresses;
  for (const SocketAddress& address : interfaces) {
    if (auto ip = IpAddressOf(address.storage())) addresses.push_back(*ip);
  }
  return addresses;
}

}  // namespace

OwnAddresses::OwnAddresses(std::vector<int> ports, const std::vector<SocketAddress>& interfaces)
    : ports_(std::move(ports)), interfaces_(IpAddressesOf(interfaces)) {}

OwnAddresses OwnAddresses::Of(RelayServices& relay) {
  std::vector<int> ports = relay.listeningPorts.Get();
  std::erase(ports, 0);
  return OwnAddresses(std::move(ports));
}

const std::vector<IpAddress>& OwnAddresses::Interfaces() const {
  if (!interfaces_) {
    // Without the interfaces' list loopback and the unspecified address still count.
    auto listed = InterfaceAddresses();
    interfaces_ = IpAddressesOf(listed ? listed.value() : std::vector<SocketAddress>{});
  }
  return *interfaces_;
}

bool OwnAddresses::Contains(const SocketAddress& address) const {
  if (std::find(ports_.begin(), ports_.end(), static_cast<int>(address.port())) == ports_.end()) return false;
  std::optional<IpAddress> ip = IpAddressOf(address.storage());
  if (!ip) return false;
  if (IsLoopback(*ip) || IsUnspecified(*ip)) return true;
  const std::vector<IpAddress>& interfaces = Interfaces();
  return std::find(interfaces.begin(), interfaces.end(), *ip) != interfaces.end();
}

bool SaidOnce::First(const std::string& what) {
  std::lock_guard<std::mutex> guard(lock_);
  if (said_.size() >= kMostRemembered) said_.clear();
  return said_.insert(what).second;
}

}  // namespace vellomar
