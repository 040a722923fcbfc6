#pragma once

#include <atomic>

#include "platform/stop_flag.h"

namespace vellomar {

// Set once, as the first step of shutdown, and never cleared while the program runs;
// setting it wakes every waiter that subscribed to it.
extern StopFlag stopRequested;
// Set by the Flush command while some taken file carries its mark (QueueList keeps it,
// under QueueLock); a file stored after the Flush is never touched by it.
extern std::atomic<bool> flushRequested;

// A relay thread's wait should end: the stop flag is set, or the thread was cancelled.
bool StopOrCancelled();

}  // namespace vellomar
