#include "ui/signal_watcher.h"

#include <sys/socket.h>
#include <unistd.h>

#include <ctime>

namespace vellomar {

SignalWatcher::SignalWatcher(const sigset_t& ending, std::function<void()> onSignal)
    : thread_([this, ending, onSignal = std::move(onSignal)] {
        timespec wait{0, 200 * 1000 * 1000};
        while (!done_) {
          if (::sigtimedwait(&ending, nullptr, &wait) > 0) {
            onSignal();
            return;
          }
        }
      }) {}

SignalWatcher::~SignalWatcher() {
  done_ = true;
  thread_.join();
}

bool SocketLayerAvailable() {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace vellomar
