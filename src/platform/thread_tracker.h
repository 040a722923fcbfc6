#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/stop_flag.h"
#include "platform/thread_handle.h"

namespace vellomar {

// Owns every relay thread (listener, sessions, dispatcher, workers). No relay thread is
// detached and none joins itself: the tracker reaps threads that have ended whenever a new
// one starts, and JoinAll() joins the rest before the objects they use are destroyed.
//
// Safe to call from any thread; its lock is never held across a join.
class ThreadTracker {
 public:
  using Body = std::function<int(ThreadHandle&)>;

  explicit ThreadTracker(StopFlag& stop) : stop_(stop) {}
  ThreadTracker(const ThreadTracker&) = delete;
  ThreadTracker& operator=(const ThreadTracker&) = delete;
  ~ThreadTracker() { JoinAll(); }

  // Starts `body` on a new thread; its result becomes the exit code. Null when the system
  // cannot start a thread.
  std::shared_ptr<ThreadHandle> Start(Body body);

  // Joins every tracked thread, also those started while it waits. Must not be called from
  // a tracked thread.
  void JoinAll();
  // Joins the threads that have ended; the calling thread is never among them.
  void Reap();
  // Threads started and not yet reaped.
  size_t Count();

 private:
  struct Tracked {
    std::shared_ptr<ThreadHandle> handle;
    std::thread thread;
  };
  std::vector<Tracked> TakeEnded();

  StopFlag& stop_;
  std::mutex lock_;
  std::vector<Tracked> threads_;
};

}  // namespace vellomar
