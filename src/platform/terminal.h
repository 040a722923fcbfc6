#pragma once

#include <string>

#include "platform/error_or.h"
#include "platform/file_system.h"

namespace vellomar {

// One line read from the terminal `fd` without showing what is typed (a password), its line
// end removed; the terminal's echo is restored on every way out.
ErrorOr<std::string> ReadHiddenLine(int fd);

}  // namespace vellomar
