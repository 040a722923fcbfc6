#pragma once

#include <signal.h>

namespace vellomar {

// Runs the program with its window: Qt's main thread is the window's thread. The `ending`
// signals (blocked before any thread started) end it through its normal shutdown.
int RunQtFace(int argc, char** argv, const sigset_t& ending);

}  // namespace vellomar
