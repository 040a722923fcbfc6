#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace vellomar {

// Takes the ending signals (blocked in every thread) on a thread of its own and hands the end
// over; nothing runs inside a signal handler. Stops looking when destroyed.
class SignalWatcher {
 public:
  SignalWatcher(const sigset_t& ending, std::function<void()> onSignal);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Whether the system can make sockets at all: the stand-in for starting a socket library.
bool SocketLayerAvailable();

}  // namespace vellomar
