#include "platform/socket_address.h"

#include <arpa/inet.h>

#include <cstring>

namespace vellomar {

SocketAddress::SocketAddress(const sockaddr_in& ipv4) { std::memcpy(&storage_, &ipv4, sizeof ipv4); }

SocketAddress::SocketAddress(const sockaddr_in6& ipv6) { std::memcpy(&storage_, &ipv6, sizeof ipv6); }

std::optional<SocketAddress> SocketAddress::From(const sockaddr* address, socklen_t length) {
  if (address == nullptr) return std::nullopt;
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    return SocketAddress(*reinterpret_cast<const sockaddr_in*>(address));
  }
  if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    return SocketAddress(*reinterpret_cast<const sockaddr_in6*>(address));
  }
  return std::nullopt;
}

SocketAddress SocketAddress::Ipv4(const uint8_t* bytes, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  std::memcpy(&address.sin_addr, bytes, 4);
  return address;
}

SocketAddress SocketAddress::Ipv6(const uint8_t* bytes, uint16_t port) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(port);
  std::memcpy(&address.sin6_addr, bytes, 16);
  return address;
}

uint16_t SocketAddress::port() const {
  if (family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(storage_).sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in&>(storage_).sin_port);
}

void SocketAddress::SetPort(uint16_t port) {
  if (family() == AF_INET6) reinterpret_cast<sockaddr_in6&>(storage_).sin6_port = htons(port);
  if (family() == AF_INET) reinterpret_cast<sockaddr_in&>(storage_).sin_port = htons(port);
}

socklen_t SocketAddress::length() const {
  if (family() == AF_INET6) return sizeof(sockaddr_in6);
  return family() == AF_INET ? sizeof(sockaddr_in) : 0;
}

std::string SocketAddress::HostText() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (family() == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(storage_).sin6_addr, text, sizeof text);
  } else if (family() == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(storage_).sin_addr, text, sizeof text);
  }
  return text;
}

bool SocketAddress::operator==(const SocketAddress& other) const {
  if (family() != other.family()) return false;
  if (family() == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(storage_);
    const auto& b = reinterpret_cast<const sockaddr_in&>(other.storage_);
    return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
  }
  if (family() != AF_INET6) return true;
  const auto& a = reinterpret_cast<const sockaddr_in6&>(storage_);
  const auto& b = reinterpret_cast<const sockaddr_in6&>(other.storage_);
  return a.sin6_port == b.sin6_port && a.sin6_scope_id == b.sin6_scope_id &&
         std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0;
}

}  // namespace vellomar
