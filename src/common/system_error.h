#pragma once

#include <functional>
#include <string>

#include "platform/error_or.h"

namespace vellomar {

// The system's text for an errno value.
std::string SystemErrorText(int code);
// The system's text for a failure: strerror's for an errno value, gai_strerror's for a
// resolver code.
std::string SystemErrorText(SystemError error);

// Shows the system's text for an error code to the user: a message box in the window face,
// standard error in the console face and the tests. Whether the caller waits for the box is
// the face's choice.
void ShowSystemError(int code);
void ShowSystemError(SystemError error);

// What ShowSystemError() does with the text. An empty display restores standard error.
using SystemErrorDisplay = std::function<void(const std::string& text)>;
void SetSystemErrorDisplay(SystemErrorDisplay display);

}  // namespace vellomar
