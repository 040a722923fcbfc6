#pragma once

#include <mutex>
#include <string>

#include "common/flags.h"
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

// A Flush was given while this file was taken: it is to be deleted, not delivered. Takes
// QueueLock only while some flush is pending.
inline bool FlushedWhileTaken(const std::string& name) {
  if (!flushRequested.load()) return false;
  std::lock_guard<std::mutex> guard(QueueLock());
  return TheQueueList().IsFlushed(name);
}

}  // namespace vellomar
