#pragma once

#include <atomic>

#include "platform/stop_flag.h"

namespace vellomar {

// Set once, as the first step of shutdown, and never cleared while the program runs;
// setting it wakes every waiter that subscribed to it.
extern StopFlag stopRequested;
// Set by the Flush command, cleared by the dispatcher.
extern std::atomic<bool> flushRequested;

}  // namespace vellomar
