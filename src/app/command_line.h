#pragma once

#include <iosfwd>
#include <optional>

namespace vellomar {

// The commands the program answers without starting: --help, --version, --queue, --status
// [--json], --deliver-now and --sign-in [--device]. None when the arguments ask for the program
// itself (no argument, or --console); otherwise the exit status, with the answer written to
// `out` and any fault to `err`.
std::optional<int> RunCommandLine(int argc, char** argv, std::ostream& out, std::ostream& err);

// Whether a graphical display is named (DISPLAY or WAYLAND_DISPLAY): the window face, and a
// browser that can come back to this machine.
bool HasDisplay();

}  // namespace vellomar
