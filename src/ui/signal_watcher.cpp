#include "ui/signal_watcher.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>

namespace vellomar {

namespace {

// Ends the program as the signal itself would have, had nobody taken it: its default action,
// so that nothing more of the program runs and the shell sees what ended it.
[[noreturn]] void EndBy(int signal) {
  ::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
}

}  // namespace

SignalWatcher::SignalWatcher(const sigset_t& ending)
    : thread_([this, ending] {
        sigset_t watched = ending;
        sigaddset(&watched, SIGUSR1);
        timespec wait{0, 200 * 1000 * 1000};
        while (!done_) {
          int signal = ::sigtimedwait(&watched, nullptr, &wait);
          if (signal > 0) Take(signal);
        }
      }) {}

SignalWatcher::~SignalWatcher() {
  done_ = true;
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

void SignalWatcher::TakeDeliverNow() {
  std::function<void()> onDeliverNow;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // Before the program has started, or while it ends, there is nothing to deliver.
    if (!shuttingDown_) onDeliverNow = onDeliverNow_;
  }
  if (onDeliverNow) onDeliverNow();
}

void SignalWatcher::Take(int signal) {
  if (signal == SIGUSR1) return TakeDeliverNow();
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
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace vellomar
