#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "platform/socket_address.h"

namespace vellomar {

// The source address the system would use toward a destination; nothing when it has no way
// there.
using SourceFinder = std::function<std::optional<SocketAddress>(const SocketAddress& destination)>;
// The system's answer, asked without sending anything.
std::optional<SocketAddress> SystemSourceFor(const SocketAddress& destination);

// The addresses Vellomar found with its own queries, in the order RFC 6724 (section 6) would
// try them, as the system's resolver orders the addresses it finds: first those the machine
// can reach, then those whose scope and label match their source's, then by the precedence of
// the default policy table (::1, then global IPv6, 6to4, IPv4, and unique-local and the
// retired prefixes last), then the smaller scope; otherwise in the order given. Rules 3, 4, 7 and 9 need facts about the source
// address that no portable call tells, and are left out.
std::vector<SocketAddress> SortForConnecting(std::vector<SocketAddress> addresses, const SourceFinder& sourceFor);

// RFC 8305 (section 4): the family of the first address first, then the two families taking
// turns, each in its own order, and the rest of the longer one at the end.
std::vector<SocketAddress> InterleaveFamilies(const std::vector<SocketAddress>& ordered);

}  // namespace vellomar
