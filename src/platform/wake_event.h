#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/stop_flag.h"

namespace vellomar {

// A bounded wait that another thread can cut short: a thread that must look again later
// (a limit reached, say) waits here instead of spinning, and whoever frees what it waits for
// calls Notify(). Setting the stop flag also ends the wait. A Notify() with nobody waiting
// is kept for the next wait, so a wake between a test and the wait is never lost.
class WakeEvent {
 public:
  explicit WakeEvent(StopFlag& stop) : stop_(stop) {}

  void Notify();
  // True when woken by Notify(); false when the time ran out or the stop flag is set.
  bool WaitFor(std::chrono::milliseconds timeout);

 private:
  StopFlag& stop_;
  std::mutex lock_;
  std::condition_variable wakeup_;
  bool notified_ = false;
};

}  // namespace vellomar
