#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/executor.h"

namespace vellomar {

// The window's thread of the console face and of the tests: one thread of our own that
// runs posted tasks in the order they were posted.
class ThreadExecutor : public Executor {
 public:
  explicit ThreadExecutor(StopFlag& stop);
  ~ThreadExecutor() override;

  bool Post(std::function<void()> task) override;
  bool IsCurrentThread() const override;
  // Runs what is already queued, then ends the thread; later posts are dropped. From the
  // executor's own thread it only asks the loop to end; the destructor joins.
  void Stop();

 private:
  void Loop();

  std::mutex lock_;
  std::condition_variable queued_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vellomar
