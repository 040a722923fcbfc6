#include "platform/wake_event.h"

namespace vellomar {

void WakeEvent::Notify() {
  std::lock_guard<std::mutex> guard(lock_);
  notified_ = true;
  wakeup_.notify_all();
}

bool WakeEvent::WaitFor(std::chrono::milliseconds timeout) {
  auto subscription = stop_.Subscribe([this] {
    std::lock_guard<std::mutex> guard(lock_);
    wakeup_.notify_all();
  });
  std::unique_lock<std::mutex> held(lock_);
  wakeup_.wait_for(held, timeout, [this] { return notified_ || stop_.load(); });
  bool woken = notified_;
  notified_ = false;
  return woken && !stop_.load();
}

}  // namespace vellomar
