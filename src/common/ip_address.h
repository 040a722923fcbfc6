#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

struct sockaddr_storage;

namespace vellomar {

// One IPv4 or IPv6 address. An IPv4 address is held in its IPv4-mapped IPv6 form
// (::ffff:a.b.c.d), so that a client reaching the dual-stack listener over IPv4 and one
// written as an IPv4 address in a setting are the same value and meet the same rules.
struct IpAddress {
  std::array<uint8_t, 16> bytes{};

  bool IsIpv4() const;
  bool operator==(const IpAddress&) const = default;
};

// 127.0.0.0/8 or ::1: a client on this machine itself.
bool IsLoopback(const IpAddress& address);

// A dotted IPv4 address or an IPv6 address in any of its written forms; nothing else (no
// names, no brackets, no zone).
std::optional<IpAddress> ParseIpAddress(const std::string& text);
// The peer address an accept reported; nothing for a family other than IPv4 and IPv6.
std::optional<IpAddress> IpAddressOf(const sockaddr_storage& address);
// The text a trace header shows inside brackets: "192.0.2.1" for IPv4 (an IPv4-mapped
// address included), "IPv6:2001:db8::1" for IPv6.
std::string AddressLiteral(const IpAddress& address);

}  // namespace vellomar
