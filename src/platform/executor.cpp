#include "platform/executor.h"

#include <condition_variable>
#include <mutex>

#include "platform/thread_tracker.h"

namespace vellomar {

namespace {

// One Invoke() in flight, shared by the caller and the queued task so that either may go
// first. A caller that gives up marks a pending call abandoned, and it is then skipped.
class PendingCall {
 public:
  explicit PendingCall(std::function<void()> task) : task_(std::move(task)) {}

  // A task that throws is done all the same, as a failure for its caller; the exception goes
  // on to the thread's guard, which reports it.
  void Run() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (state_ != State::Pending) return;
      state_ = State::Running;
    }
    try {
      task_();
    } catch (...) {
      Finish(State::Failed);
      throw;
    }
    Finish(State::Done);
  }

  void Wake() {
    std::lock_guard<std::mutex> guard(lock_);
    changed_.notify_all();
  }

  bool AwaitUnlessStopped(const StopFlag& stop) {
    std::unique_lock<std::mutex> held(lock_);
    changed_.wait(held, [&] { return state_ == State::Done || state_ == State::Failed || stop.load(); });
    if (state_ == State::Done) return true;
    if (state_ == State::Pending) state_ = State::Abandoned;
    return false;
  }

 private:
  enum class State { Pending, Running, Done, Failed, Abandoned };

  void Finish(State state) {
    task_ = nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    state_ = state;
    changed_.notify_all();
  }

  std::function<void()> task_;
  std::mutex lock_;
  std::condition_variable changed_;
  State state_ = State::Pending;
};

}  // namespace

void Executor::SetFaultReport(FaultReport report) {
  std::lock_guard<std::mutex> guard(reportLock_);
  faultReport_ = std::move(report);
}

void Executor::RunGuarded(const std::function<void()>& task) noexcept {
  try {
    task();
  } catch (...) {
    try {
      FaultReport report;
      {
        std::lock_guard<std::mutex> guard(reportLock_);
        report = faultReport_;
      }
      if (report) report("a task of the window's thread ended by an unexpected fault: " + CurrentExceptionText());
    } catch (...) {
      // Not even the report could be made: the thread goes on all the same.
    }
  }
}

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
