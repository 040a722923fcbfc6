#pragma once

#include <string>

#include "platform/error_or.h"

namespace vellomar {

// Password hashes through the system's crypt(3) (libcrypt), never by hand.

// A yescrypt hash of `password`, salted from the system's random source; EINVAL for a
// password crypt(3) cannot take, and the library's errno when it cannot hash at all.
ErrorOr<std::string> HashPassword(const std::string& password);
// Whether `password` hashes to `hash`, by whatever method crypt(3) reads in it; false for a
// hash it cannot read. The comparison takes the same time wherever the texts differ.
bool PasswordMatches(const std::string& password, const std::string& hash);

}  // namespace vellomar
