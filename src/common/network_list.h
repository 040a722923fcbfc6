#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/ip_address.h"

namespace vellomar {

// One network in CIDR form. An IPv4 network is held as its IPv4-mapped IPv6 range
// (a.b.c.d/n is ::ffff:a.b.c.d/96+n), so it holds exactly the IPv4 and IPv4-mapped
// addresses of that network and no native IPv6 address.
struct IpNetwork {
  IpAddress base;  // host bits cleared
  int prefixBits = 128;

  bool Contains(const IpAddress& address) const;
  bool operator==(const IpNetwork&) const = default;
};

// "address/prefix" or a bare address (a single host): 0 to 32 for IPv4, 0 to 128 for IPv6.
// Host bits below the prefix are ignored ("10.1.2.3/8" is 10.0.0.0/8).
std::optional<IpNetwork> ParseNetwork(const std::string& entry);

// A list of networks, as a setting holds them; an address is in it when any network holds it.
// A plain value: copied whole, never changed after it was built.
class NetworkList {
 public:
  NetworkList() = default;
  explicit NetworkList(std::vector<IpNetwork> networks) : networks_(std::move(networks)) {}

  bool Contains(const IpAddress& address) const;
  bool empty() const { return networks_.empty(); }
  const std::vector<IpNetwork>& networks() const { return networks_; }

 private:
  std::vector<IpNetwork> networks_;
};

struct ParsedNetworkList {
  NetworkList list;
  std::vector<std::string> invalid;  // the entries that are not networks, as written
};

// Entries separated by blanks (spaces, tabs, line ends) or commas, in any number.
ParsedNetworkList ParseNetworkList(const std::string& text);

}  // namespace vellomar
