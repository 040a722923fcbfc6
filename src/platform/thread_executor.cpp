#include "platform/thread_executor.h"

namespace vellomar {

ThreadExecutor::ThreadExecutor(StopFlag& stop) : Executor(stop), thread_([this] { Loop(); }) {}

ThreadExecutor::~ThreadExecutor() {
  Stop();
  if (thread_.joinable()) thread_.join();
}

bool ThreadExecutor::Post(std::function<void()> task) {
  std::lock_guard<std::mutex> guard(lock_);
  if (stopping_) return false;
  tasks_.push_back(std::move(task));
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
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> held(lock_);
      queued_.wait(held, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    RunGuarded(task);
  }
}

}  // namespace vellomar
