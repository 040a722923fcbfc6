#include "delivery/address_order.h"

#include <algorithm>
#include <string>
#include <tuple>

#include "common/ip_address.h"
#include "platform/socket.h"

namespace vellomar {

namespace {

struct Policy {
  IpAddress prefix;
  int bits;
  int precedence;
  int label;
};

Policy Entry(const char* prefix, int bits, int precedence, int label) {
  return {ParseIpAddress(prefix).value_or(IpAddress{}), bits, precedence, label};
}

// RFC 6724's default policy table.
const std::vector<Policy>& PolicyTable() {
  static const std::vector<Policy> table = {
      Entry("::1", 128, 50, 0),        Entry("::", 0, 40, 1),         Entry("::ffff:0:0", 96, 35, 4),
      Entry("2002::", 16, 30, 2),      Entry("2001::", 32, 5, 5),     Entry("fc00::", 7, 3, 13),
      Entry("::", 96, 1, 3),           Entry("fec0::", 10, 1, 11),    Entry("3ffe::", 16, 1, 12),
  };
  return table;
}

bool InPrefix(const IpAddress& address, const IpAddress& prefix, int bits) {
  for (int bit = 0; bit < bits; ++bit) {
    int mask = 0x80 >> (bit % 8);
    if ((address.bytes[bit / 8] & mask) != (prefix.bytes[bit / 8] & mask)) return false;
  }
  return true;
}

const Policy& PolicyOf(const IpAddress& address) {
  const Policy* best = nullptr;
  for (const Policy& policy : PolicyTable()) {
    if (InPrefix(address, policy.prefix, policy.bits) && (best == nullptr || policy.bits > best->bits)) best = &policy;
  }
  return *best;  // ::/0 holds every address
}

// Link-local is 2, site-local 5, global 14; IPv4 loopback and link-local count as link-local.
int ScopeOf(const IpAddress& address) {
  const auto& b = address.bytes;
  if (address.IsIpv4()) return b[12] == 127 || (b[12] == 169 && b[13] == 254) ? 2 : 14;
  if (b[0] == 0xff) return b[1] & 0x0f;
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return 2;
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0xc0) return 5;
  if (address == *ParseIpAddress("::1")) return 2;
  return 14;
}

// What the rules compare, in their order; the larger tuple is tried first.
using Rank = std::tuple<bool, bool, bool, int, int>;

Rank RankOf(const SocketAddress& destination, const SourceFinder& sourceFor) {
  IpAddress d = IpAddressOf(destination.storage()).value_or(IpAddress{});
  std::optional<SocketAddress> found = sourceFor(destination);
  std::optional<IpAddress> s = found ? IpAddressOf(found->storage()) : std::nullopt;
  bool usable = s.has_value();
  bool scopeMatches = usable && ScopeOf(d) == ScopeOf(*s);
  bool labelMatches = usable && PolicyOf(d).label == PolicyOf(*s).label;
  return {usable, scopeMatches, labelMatches, PolicyOf(d).precedence, -ScopeOf(d)};
}

}  // namespace

std::optional<SocketAddress> SystemSourceFor(const SocketAddress& destination) {
  auto source = SourceAddressFor(destination);
  if (!source) return std::nullopt;
  return source.value();
}

std::vector<SocketAddress> SortForConnecting(std::vector<SocketAddress> addresses, const SourceFinder& sourceFor) {
  // One address has no order to find, and asking for its source costs a socket each time.
  if (addresses.size() < 2) return addresses;
  std::vector<std::pair<Rank, SocketAddress>> ranked;
  for (const SocketAddress& address : addresses) ranked.emplace_back(RankOf(address, sourceFor), address);
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  for (size_t i = 0; i < ranked.size(); ++i) addresses[i] = ranked[i].second;
  return addresses;
}

std::vector<SocketAddress> InterleaveFamilies(const std::vector<SocketAddress>& ordered) {
  if (ordered.empty()) return {};
  std::vector<SocketAddress> first, other, interleaved;
  for (const SocketAddress& address : ordered) (address.family() == ordered.front().family() ? first : other).push_back(address);
  for (size_t i = 0; i < std::max(first.size(), other.size()); ++i) {
    if (i < first.size()) interleaved.push_back(first[i]);
    if (i < other.size()) interleaved.push_back(other[i]);
  }
  return interleaved;
}

}  // namespace vellomar
