#include "ui/signal_watcher.h"


#include "platform/signals.h"
#include "platform/socket.h"

namespace vellomar {

namespace {

// Ends the program as the signal itself would have, had nobody taken it: its default action,
// so that nothing more of the program runs and the shell sees what ended it.
[[noreturn]] void EndBy(int signal) {
  // Each step that fails leaves the exit below, which ends the program all the same.
  (void)SetSignalAction(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  (void)ChangeThreadSignalMask(SIG_UNBLOCK, only);  // see above
  (void)RaiseSignal(signal);                        // see above
  ExitAtOnce(128 + signal);
}

}  // namespace

// The thread sleeps until a signal comes: no wake-ups while nothing happens. SIGURG, which no
// one else sends here, is the destructor's word to end; blocked before the thread starts, so
// that it waits for the thread rather than being lost (its default is to be ignored).
SignalWatcher::SignalWatcher(const sigset_t& ending) : ending_(ending) {
  sigset_t watched = ending;
  sigaddset(&watched, SIGUSR1);
  sigaddset(&watched, SIGUSR2);
  sigaddset(&watched, kEndWatching);
  // The caller blocked the others already; the thread is born with all of them blocked.
  (void)ChangeThreadSignalMask(SIG_BLOCK, watched);  // only fails for a bad argument
  thread_ = std::thread([this, watched] {
    for (;;) {
      auto signal = WaitForSignal(watched);
      if (!signal || signal.value() <= 0) continue;  // interrupted: wait again
      if (signal.value() == kEndWatching) return;
      Take(signal.value());
    }
  });
}

SignalWatcher::~SignalWatcher() {
  // Fails only for a thread already joined, which this one is not.
  (void)SignalThread(thread_.native_handle(), kEndWatching);
  thread_.join();
}

void SignalWatcher::HandOver(std::function<void()> onSignal) {
  std::lock_guard<std::mutex> guard(lock_);
  onSignal_ = std::move(onSignal);
  handedOver_ = true;
}

void SignalWatcher::OnDeliverNow(std::function<void()> onDeliverNow) {
  std::lock_guard<std::mutex> guard(lock_);
  onDeliverNow_ = std::move(onDeliverNow);
}

void SignalWatcher::OnSignInChanged(std::function<void()> onSignInChanged) {
  std::lock_guard<std::mutex> guard(lock_);
  onSignInChanged_ = std::move(onSignInChanged);
}

void SignalWatcher::TakeRequest(const std::function<void()>& handler) {
  std::function<void()> run;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // Before the program has started, or while it ends, there is nothing to do.
    if (!shuttingDown_) run = handler;
  }
  if (run) run();
}

void SignalWatcher::Take(int signal) {
  // A signal the caller named as an ending is one, whatever request it would otherwise carry.
  const bool ending = sigismember(&ending_, signal) == 1;
  if (!ending && signal == SIGUSR1) return TakeRequest(onDeliverNow_);
  if (!ending && signal == SIGUSR2) return TakeRequest(onSignInChanged_);
  std::function<void()> onSignal;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!handedOver_ || shuttingDown_) EndBy(signal);
    shuttingDown_ = true;
    onSignal = onSignal_;
  }
  onSignal();
}

bool SocketLayerAvailable() {
  // The probe socket is closed again as it goes out of scope.
  return CreateUdpSocket().ok();
}

}  // namespace vellomar
