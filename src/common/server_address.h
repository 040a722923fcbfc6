#pragma once

#include <cstdint>
#include <string>

namespace vellomar {

// A server text as the settings and the MX answers give it: a host name or address,
// optionally followed by ":port"; an IPv6 address with a port is written in brackets
// ("[2001:db8::25]:587"), and one without may be bare ("2001:db8::53") or in brackets.
struct ServerAddress {
  std::string host;  // without brackets
  uint16_t port;
};

// The port is taken only when everything after the last ':' (after the ']' of a bracketed
// IPv6 address) is a number from 1 to 65535; a text with two or more colons and no brackets is
// an IPv6 address without a port. Anything else that is not well formed is a host as a whole,
// which no lookup finds.
ServerAddress ParseServerAddress(const std::string& text, uint16_t defaultPort);

// Whether a server text is well formed: a host, or a bracketed IPv6 address, with at most a
// valid port after it; brackets only around an IPv6 address.
bool IsServerAddressText(const std::string& text);

// The address family the `IPFamily` value allows: AF_INET for "ipv4", AF_INET6 for "ipv6",
// AF_UNSPEC (both) for "any" and anything else.
int AddressFamilyOf(const std::string& ipFamily);

}  // namespace vellomar
