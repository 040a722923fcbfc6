#pragma once

#include <vector>

#include "platform/error_or.h"
#include "platform/socket_address.h"

namespace vellomar {

// The IPv4 and IPv6 addresses of this machine's network interfaces as getifaddrs reports
// them now (loopback included, ports 0).
ErrorOr<std::vector<SocketAddress>> InterfaceAddresses();

}  // namespace vellomar
