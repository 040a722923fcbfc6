#pragma once

#include <chrono>
#include <string>

#include "platform/error_or.h"

namespace vellomar {

// Runs `command` with /bin/sh, standard input from /dev/null and standard error inherited,
// and gives the first line it writes to standard output (without its line end). The command
// is killed when it has not written that line within `wait` (ETIMEDOUT); a command that ends
// with a status other than 0 gives ECHILD.
ErrorOr<std::string> FirstOutputLine(const std::string& command, std::chrono::milliseconds wait);

}  // namespace vellomar
