#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/executor.h"

namespace vellomar {

// The window's thread of the console face and of the tests: one thread of our own that
// runs posted tasks in the order they fall due, those due together in the order posted.
class ThreadExecutor : public Executor {
 public:
  explicit ThreadExecutor(StopFlag& stop);
  ~ThreadExecutor() override;

  bool PostAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
  bool IsCurrentThread() const override;
  // Runs what is already queued, delayed tasks at once, then ends the thread; later posts are
  // dropped. From the executor's own thread it only asks the loop to end; the destructor joins.
  void Stop();

 private:
  void Loop();

  std::mutex lock_;
  std::condition_variable queued_;
  struct Queued {
    std::chrono::steady_clock::time_point due;
    std::function<void()> task;
  };
  // Ordered by when each falls due.
  std::deque<Queued> tasks_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vellomar
