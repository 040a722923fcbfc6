#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>

namespace vellomar {

// One IPv4 or IPv6 address with its port, in the form the socket calls take. A plain value.
class SocketAddress {
 public:
  SocketAddress() = default;
  SocketAddress(const sockaddr_in& ipv4);
  SocketAddress(const sockaddr_in6& ipv6);
  // An address the system reported (accept, getsockname, recvfrom, getaddrinfo); nothing for a
  // family other than IPv4 and IPv6.
  static std::optional<SocketAddress> From(const sockaddr* address, socklen_t length);
  // The 4 bytes of an A record or the 16 of an AAAA record, in network order.
  static SocketAddress Ipv4(const uint8_t* bytes, uint16_t port);
  static SocketAddress Ipv6(const uint8_t* bytes, uint16_t port);

  int family() const { return storage_.ss_family; }
  uint16_t port() const;
  void SetPort(uint16_t port);
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage_); }
  socklen_t length() const;
  const sockaddr_storage& storage() const { return storage_; }
  // The address alone as written: "192.0.2.25", "2001:db8::25".
  std::string HostText() const;
  // The same address and port (an IPv6 scope included).
  bool operator==(const SocketAddress& other) const;

 private:
  sockaddr_storage storage_{};
};

}  // namespace vellomar
