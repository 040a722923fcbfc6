#include "platform/stop_flag.h"

namespace vellomar {

StopFlag::Subscription::~Subscription() {
  if (flag_ == nullptr) return;
  std::lock_guard<std::mutex> guard(flag_->lock_);
  flag_->wakes_.erase(id_);
}

void StopFlag::Set() {
  value_.store(true, std::memory_order_release);
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& [id, wake] : wakes_) wake();
}

StopFlag::Subscription StopFlag::Subscribe(std::function<void()> wake) {
  std::lock_guard<std::mutex> guard(lock_);
  uint64_t id = nextId_++;
  wakes_.emplace(id, std::move(wake));
  return Subscription(this, id);
}

}  // namespace vellomar
