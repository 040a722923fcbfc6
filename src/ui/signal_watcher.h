#pragma once

#include <signal.h>

#include <functional>
#include <mutex>
#include <thread>

namespace vellomar {

// Takes the ending signals (blocked in every thread) on a thread of its own; nothing runs
// inside a signal handler. Until HandOver() a signal ends the program at once: nothing has
// started that a shutdown would have to stop (the first-start questions are being asked).
// After it, the first signal calls `onSignal`, which begins the shutdown, and any later one
// ends the program at once, so that a shutdown that takes too long can be cut short.
// It also takes SIGUSR1 and SIGUSR2 (blocked by the caller as well): "deliver now" and "the
// sign-in changed" (`vellomar --sign-in` stored a new one), handed to their callbacks once set,
// and never an end (unless the caller named one among the endings). Stops looking when destroyed.
class SignalWatcher {
 public:
  explicit SignalWatcher(const sigset_t& ending);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  void HandOver(std::function<void()> onSignal);
  void OnDeliverNow(std::function<void()> onDeliverNow);
  void OnSignInChanged(std::function<void()> onSignInChanged);

 private:
  void Take(int signal);
  void TakeRequest(const std::function<void()>& handler);

  static constexpr int kEndWatching = SIGURG;
  const sigset_t ending_;
  std::mutex lock_;
  std::function<void()> onSignal_;
  std::function<void()> onDeliverNow_;
  std::function<void()> onSignInChanged_;
  bool handedOver_ = false;
  bool shuttingDown_ = false;
  std::thread thread_;
};

// Whether the system can make sockets at all: the stand-in for starting a socket library.
bool SocketLayerAvailable();

}  // namespace vellomar
