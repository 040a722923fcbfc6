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
        timespec wait{0, 200 * 1000 * 1000};
        while (!done_) {
          int signal = ::sigtimedwait(&ending, nullptr, &wait);
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

void SignalWatcher::Take(int signal) {
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
