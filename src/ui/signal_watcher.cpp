#include "ui/signal_watcher.h"

#include <sys/socket.h>
#include <unistd.h>

#include <ctime>

namespace vellomar {

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

void SignalWatcher::Take(int signal) {
  std::function<void()> onSignal;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (signal == SIGUSR1) {
      // Before the program has started, or while it ends, there is nothing to deliver.
      if (onDeliverNow_ && !shuttingDown_) onSignal = onDeliverNow_;
    }
  }
  if (signal == SIGUSR1) {
    if (onSignal) onSignal();
    return;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    // The exit status a shell gives a program its signal ended.
    if (!handedOver_ || shuttingDown_) ::_exit(128 + signal);
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
