#pragma once

#include <cstddef>
#include <string>

#include "platform/error_or.h"

namespace vellomar {

// The few primitives beyond TLS that the relay takes from OpenSSL.

// `count` bytes from the system's cryptographic random source; EIO when it could not give them.
ErrorOr<std::string> RandomBytes(size_t count);
// The 32 bytes of the SHA-256 digest of `data`.
std::string Sha256(const std::string& data);
// Overwrites a secret's bytes in a way the compiler cannot leave out, then empties it.
void Wipe(std::string& secret);

}  // namespace vellomar
