#pragma once

#include <mutex>

#include "spool/queue_list.h"
#include "spool/worker_registry.h"

namespace vellomar {

// The program-wide list and registries, constructed on first use and destroyed at exit,
// after the ThreadTracker has joined every thread that uses them. Each is used under its own
// lock, one lock at a time.
QueueList& TheQueueList();
WorkerRegistry& IncomingRegistry();
WorkerRegistry& OutgoingRegistry();

inline std::mutex& QueueLock() { return TheQueueList().QueueLock; }
inline std::mutex& IncomingLock() { return IncomingRegistry().lock; }
inline std::mutex& OutgoingLock() { return OutgoingRegistry().lock; }

}  // namespace vellomar
