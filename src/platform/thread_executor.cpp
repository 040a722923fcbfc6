#include "platform/thread_executor.h"

#include <algorithm>

namespace vellomar {

ThreadExecutor::ThreadExecutor(StopFlag& stop) : Executor(stop), thread_([this] { Loop(); }) {}

ThreadExecutor::~ThreadExecutor() {
  Stop();
  if (thread_.joinable()) thread_.join();
}

bool ThreadExecutor::PostAfter(std::chrono::milliseconds delay, std::function<void()> task) {
  auto due = std::chrono::steady_clock::now() + delay;
  std::lock_guard<std::mutex> guard(lock_);
  if (stopping_) return false;
  auto later = std::upper_bound(tasks_.begin(), tasks_.end(), due,
                                [](const auto& when, const Queued& queued) { return when < queued.due; });
  tasks_.insert(later, Queued{due, std::move(task)});
  queued_.notify_one();
  return true;
}

bool ThreadExecutor::IsCurrentThread() const { return std::this_thread::get_id() == thread_.get_id(); }

void ThreadExecutor::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    queued_.notify_one();
  }
  if (!IsCurrentThread() && thread_.joinable()) thread_.join();
}

void ThreadExecutor::Loop() {
  std::unique_lock<std::mutex> held(lock_);
  for (;;) {
    if (tasks_.empty()) {
      if (stopping_) return;
      queued_.wait(held);
      continue;
    }
    // At a stop nothing is worth waiting for: what is queued runs now.
    if (!stopping_ && tasks_.front().due > std::chrono::steady_clock::now()) {
      queued_.wait_until(held, tasks_.front().due);
      continue;
    }
    std::function<void()> task = std::move(tasks_.front().task);
    tasks_.pop_front();
    held.unlock();
    RunGuarded(task);
    held.lock();
  }
}

}  // namespace vellomar
