#pragma once

#include <cstdint>
#include <string>

namespace vellomar {

// A server text as the settings and the MX answers give it: a host name or dotted address,
// optionally followed by ":port".
struct ServerAddress {
  std::string host;
  uint16_t port;
};

// The port is taken only when everything after the last ':' is a number from 1 to 65535;
// otherwise the whole text is the host and the port is the default.
ServerAddress ParseServerAddress(const std::string& text, uint16_t defaultPort);

}  // namespace vellomar
