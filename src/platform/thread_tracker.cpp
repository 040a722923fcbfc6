#include "platform/thread_tracker.h"

#include <system_error>

namespace vellomar {

std::shared_ptr<ThreadHandle> ThreadTracker::Start(Body body) {
  Reap();
  auto handle = std::make_shared<ThreadHandle>(stop_);
  std::lock_guard<std::mutex> guard(lock_);
  try {
    std::thread thread([handle, body = std::move(body)] {
      ThreadHandle::SetCurrent(handle.get());
      int exitCode = body(*handle);
      ThreadHandle::SetCurrent(nullptr);
      handle->MarkEnded(exitCode);
    });
    threads_.push_back(Tracked{handle, std::move(thread)});
  } catch (const std::system_error&) {
    return nullptr;
  }
  return handle;
}

std::vector<ThreadTracker::Tracked> ThreadTracker::TakeEnded() {
  std::vector<Tracked> ended;
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = threads_.begin(); it != threads_.end();) {
    if (!it->handle->IsRunning() && it->thread.get_id() != std::this_thread::get_id()) {
      ended.push_back(std::move(*it));
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
  return ended;
}

void ThreadTracker::Reap() {
  // A thread marks itself ended as its very last step, so these joins return at once.
  for (Tracked& tracked : TakeEnded()) tracked.thread.join();
}

void ThreadTracker::JoinAll() {
  for (;;) {
    std::vector<Tracked> all;
    {
      std::lock_guard<std::mutex> guard(lock_);
      all.swap(threads_);
    }
    if (all.empty()) return;
    for (Tracked& tracked : all) tracked.thread.join();
  }
}

size_t ThreadTracker::Count() {
  std::lock_guard<std::mutex> guard(lock_);
  return threads_.size();
}

}  // namespace vellomar
