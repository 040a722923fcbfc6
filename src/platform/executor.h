#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/stop_flag.h"

namespace vellomar {

// Hands work to the window's thread. Post() queues a task and returns; Invoke() runs one
// there and waits for it. Once the stop flag is set Invoke() neither waits nor runs, and a
// caller already waiting stops waiting, so that shutdown, which waits for relay threads on
// the window's thread, never waits for a thread that waits for it.
//
// A task handed to Invoke() must capture by value or objects that outlive the relay
// threads: it may still run after its caller has stopped waiting. InvokeFor() returns a
// result through shared storage for that reason, never through the caller's stack.
//
// The window's thread runs each task under a last guard: a task that ends by an exception
// ends there (its Invoke() returns false), is described to the fault report, and the thread
// goes on with the next.
class Executor {
 public:
  explicit Executor(StopFlag& stop) : stop_(stop) {}
  virtual ~Executor() = default;
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  // False when the task was dropped because the executor has stopped.
  bool Post(std::function<void()> task) { return PostAfter(std::chrono::milliseconds{0}, std::move(task)); }
  // Queues a task to run no sooner than `delay` from now; tasks due together keep the order
  // they were posted in.
  virtual bool PostAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
  virtual bool IsCurrentThread() const = 0;

  // True when the task ran to its end; on the window's thread it runs inline.
  bool Invoke(std::function<void()> task);

  using FaultReport = std::function<void(const std::string&)>;
  void SetFaultReport(FaultReport report);

  template <typename R>
  std::optional<R> InvokeFor(std::function<R()> task) {
    auto result = std::make_shared<std::optional<R>>();
    if (!Invoke([result, task = std::move(task)] { *result = task(); })) return std::nullopt;
    return *result;
  }

 protected:
  // Runs one posted task as the thread's last guard.
  void RunGuarded(const std::function<void()>& task) noexcept;

  StopFlag& stop_;

 private:
  std::mutex reportLock_;
  FaultReport faultReport_;
};

}  // namespace vellomar
