#pragma once

#include <string>

#include "platform/error_or.h"

namespace vellomar {

// The system's text for an errno value.
std::string SystemErrorText(int code);
// The system's text for a failure: strerror's for an errno value, gai_strerror's for a
// resolver code.
std::string SystemErrorText(SystemError error);

}  // namespace vellomar
