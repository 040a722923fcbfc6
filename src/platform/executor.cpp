#include "platform/executor.h"

#include <condition_variable>
#include <mutex>

namespace vellomar {

namespace {

// One Invoke() in flight, shared by the caller and the queued task so that either may go
// first. A caller that gives up marks a pending call abandoned, and it is then skipped.
class PendingCall {
 public:
  explicit PendingCall(std::function<void()> task) : task_(std::move(task)) {}

  void Run() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (state_ != State::Pending) return;
      state_ = State::Running;
    }
    task_();
    task_ = nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    state_ = State::Done;
    changed_.notify_all();
  }

  void Wake() {
    std::lock_guard<std::mutex> guard(lock_);
    changed_.notify_all();
  }

  bool AwaitUnlessStopped(const StopFlag& stop) {
    std::unique_lock<std::mutex> held(lock_);
    changed_.wait(held, [&] { return state_ == State::Done || stop.load(); });
    if (state_ == State::Done) return true;
    if (state_ == State::Pending) state_ = State::Abandoned;
    return false;
  }

 private:
  enum class State { Pending, Running, Done, Abandoned };
  std::function<void()> task_;
  std::mutex lock_;
  std::condition_variable changed_;
  State state_ = State::Pending;
};

}  // namespace

bool Executor::Invoke(std::function<void()> task) {
  if (stop_.load()) return false;
  if (IsCurrentThread()) {
    task();
    return true;
  }
  auto call = std::make_shared<PendingCall>(std::move(task));
  auto subscription = stop_.Subscribe([call] { call->Wake(); });
  if (!Post([call] { call->Run(); })) return false;
  return call->AwaitUnlessStopped(stop_);
}

}  // namespace vellomar
