#pragma once

#include <chrono>
#include <string>

#include "platform/error_or.h"

namespace vellomar {
class StopFlag;
}

namespace vellomar {

// Runs `command` with /bin/sh, standard input from /dev/null and standard error inherited,
// and gives the first line it writes to standard output (without its line end). The command
// is killed, with whatever it started, when it has not written that line and ended within
// `wait` (ETIMEDOUT) or when `stop` is set meanwhile (ECANCELED); a command that ends with a
// status other than 0 gives ECHILD. It runs with no signal blocked, in a process group of its own.
ErrorOr<std::string> FirstOutputLine(const std::string& command, std::chrono::milliseconds wait,
                                     const StopFlag& stop);

}  // namespace vellomar
