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
// A dotted address needs no lookup. A name is looked up on a helper thread (getaddrinfo
// blocks and cannot be cancelled), while the caller waits for its answer in slices of
// 100 ms, asking `abandon` after each: a lookup that hangs holds the caller no longer than
// `abandon` allows. The helper of an abandoned lookup is handed to a program-wide owner that
// joins it once it ends, at the latest when the program ends; no thread is detached.
ErrorOr<sockaddr_in> LookUpIpv4(const std::string& host, uint16_t port, const std::function<bool()>& abandon);

}  // namespace vellomar
