#pragma once

#include <functional>
#include <string>

namespace vellomar {

// The system's text for an errno value.
std::string SystemErrorText(int code);

// Shows the system's text for an error code to the user: a message box in the window face,
// standard error in the console face and the tests. Whether the caller waits for the box is
// the face's choice.
void ShowSystemError(int code);

// What ShowSystemError() does with the text. An empty display restores standard error.
using SystemErrorDisplay = std::function<void(const std::string& text)>;
void SetSystemErrorDisplay(SystemErrorDisplay display);

}  // namespace vellomar
