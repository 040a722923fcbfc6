#pragma once

#include <signal.h>

namespace vellomar {

// Runs the program with its console face: the window's thread is an executor thread of our
// own, and the program ends when one of the `ending` signals (blocked by the caller before
// any thread started) arrives. Returns the exit code.
int RunConsoleFace(const sigset_t& ending);

}  // namespace vellomar
