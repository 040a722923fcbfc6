#include "common/ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace vellomar {

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

IpAddress FromIpv4(const in_addr& ipv4) {
  IpAddress address;
  std::copy(std::begin(kMappedPrefix), std::end(kMappedPrefix), address.bytes.begin());
  std::memcpy(address.bytes.data() + 12, &ipv4, 4);
  return address;
}

IpAddress FromIpv6(const in6_addr& ipv6) {
  IpAddress address;
  std::memcpy(address.bytes.data(), &ipv6, 16);
  return address;
}

}  // namespace

bool IpAddress::IsIpv4() const { return std::equal(std::begin(kMappedPrefix), std::end(kMappedPrefix), bytes.begin()); }

std::optional<IpAddress> ParseIpAddress(const std::string& text) {
  // inet_pton reads up to the first NUL: "192.0.2.1\0<anything>" is not that address.
  if (text.find('\0') != std::string::npos) return std::nullopt;
  in_addr ipv4{};
  if (::inet_pton(AF_INET, text.c_str(), &ipv4) == 1) return FromIpv4(ipv4);
  in6_addr ipv6{};
  if (::inet_pton(AF_INET6, text.c_str(), &ipv6) == 1) return FromIpv6(ipv6);
  return std::nullopt;
}

std::optional<IpAddress> IpAddressOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) return FromIpv4(reinterpret_cast<const sockaddr_in&>(address).sin_addr);
  if (address.ss_family == AF_INET6) return FromIpv6(reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
  return std::nullopt;
}

std::string AddressLiteral(const IpAddress& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.IsIpv4()) {
    ::inet_ntop(AF_INET, address.bytes.data() + 12, text, sizeof text);
    return text;
  }
  ::inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text);
  return std::string("IPv6:") + text;
}

bool IsLoopback(const IpAddress& address) {
  if (address.IsIpv4()) return address.bytes[12] == 127;
  IpAddress one;
  one.bytes[15] = 1;
  return address == one;
}

}  // namespace vellomar
