#pragma once

#include <signal.h>

namespace vellomar {

// Runs the program with its console face: the window's thread is an executor thread of our
// own, and the program ends through its shutdown when one of the `ending` signals (blocked
// by the caller before any thread started) arrives; at the first-start questions, or a
// second time during the shutdown, such a signal ends it at once. Returns the exit code.
int RunConsoleFace(const sigset_t& ending);

}  // namespace vellomar
