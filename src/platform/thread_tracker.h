#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/stop_flag.h"
#include "platform/thread_handle.h"

namespace vellomar {

// Owns every relay thread (listener, sessions, dispatcher, workers). No relay thread is
// detached and none joins itself: the tracker reaps threads that have ended whenever a new
// one starts, and JoinAll() joins the rest before the objects they use are destroyed.
//
// It is also every thread's last guard: an exception that leaves a body (a fault nobody
// foresaw, where failures are results) ends that thread alone, with kFaultExitCode, and is
// described to `fault`; the process goes on. A body that owns a unit of work (a session, a
// delivery) catches first, so as to end that unit properly.
//
// Safe to call from any thread; its lock is never held across a join.
class ThreadTracker {
 public:
  using Body = std::function<int(ThreadHandle&)>;
  using FaultReport = std::function<void(const std::string&)>;
  static constexpr int kFaultExitCode = 70;

  explicit ThreadTracker(StopFlag& stop, FaultReport fault = nullptr) : stop_(stop), fault_(std::move(fault)) {}
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
  const FaultReport fault_;
  std::mutex lock_;
  std::vector<Tracked> threads_;
};

// What the exception being handled says, for a last guard's log line: its type's name where
// it is a std::exception ("std::out_of_range: stoull"), else that it is of an unknown type.
// Call only inside a catch block.
std::string CurrentExceptionText();

}  // namespace vellomar
