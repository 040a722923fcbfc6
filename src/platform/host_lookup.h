#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/error_or.h"
#include "platform/socket_address.h"

namespace vellomar {

// Every address of a host (a name, or an IPv4 or IPv6 address as text), each with the given
// port, in the order the system's resolver gives them (its RFC 6724 sorting), each once.
// `family` is AF_UNSPEC for both families, or AF_INET or AF_INET6 for that one alone (an
// address of the other family as text then fails with EAI_ADDRFAMILY). On failure a resolver
// (getaddrinfo) error, EAI_CANCELED when abandoned, or an errno value when the resolver's own
// cause was a system error.
//
// An address as text needs no lookup. A name is looked up on a helper thread (getaddrinfo
// blocks and cannot be cancelled), while the caller waits for its answer in slices of
// 100 ms, asking `abandon` after each: a lookup that hangs holds the caller no longer than
// `abandon` allows. The helper of an abandoned lookup is handed to a program-wide owner that
// joins it once it ends, at the latest when the program ends; no thread is detached.
ErrorOr<std::vector<SocketAddress>> LookUpHost(const std::string& host, uint16_t port, int family,
                                               const std::function<bool()>& abandon);

}  // namespace vellomar
