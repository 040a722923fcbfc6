#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/error_or.h"

namespace vellomar {

// The first IPv4 address of a host (a name or a dotted address) with the given port; a
// getaddrinfo error code on failure, EAI_CANCELED when abandoned.
//
// A dotted address needs no lookup. A name is looked up by the C library's asynchronous
// resolver (getaddrinfo_a): the lookup runs on the library's own thread, never on one of
// ours, and the caller waits for its answer in slices of 100 ms, asking `abandon` after
// each. So a lookup that hangs (a resolver that never answers) holds no thread of the
// program past the moment `abandon` says so, and nothing has to be joined at exit. An
// abandoned request that the library cannot cancel keeps its storage for the library to
// finish with; it is never freed.
ErrorOr<sockaddr_in> LookUpIpv4(const std::string& host, uint16_t port, const std::function<bool()>& abandon);

}  // namespace vellomar
