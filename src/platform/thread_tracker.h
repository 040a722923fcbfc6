#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
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
// Work that comes and goes with the traffic (a session, a delivery, a dispatcher's run) is
// handed to Run(), which gives it to a kept thread that has finished its last body, or starts
// one: a thread per message cost more in its creation, stack and teardown than the message
// itself. Each body still gets a handle of its own, which ends when the body returns, so that
// a registry or controller sees the same life as with a thread of its own. A kept thread with
// nothing to do for `keptIdle` ends, so an idle relay holds few threads.
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

  static constexpr std::chrono::milliseconds kKeptIdle{10000};

  explicit ThreadTracker(StopFlag& stop, FaultReport fault = nullptr, std::chrono::milliseconds keptIdle = kKeptIdle)
      : stop_(stop), fault_(std::move(fault)), keptIdle_(keptIdle) {}
  ThreadTracker(const ThreadTracker&) = delete;
  ThreadTracker& operator=(const ThreadTracker&) = delete;
  ~ThreadTracker() { JoinAll(); }

  // Starts `body` on a new thread; its result becomes the exit code. Null when the system
  // cannot start a thread.
  std::shared_ptr<ThreadHandle> Start(Body body);
  // Runs `body` on a kept thread waiting for work, else on a new kept thread; the handle is
  // the body's own. Null when no thread waits and the system cannot start one.
  std::shared_ptr<ThreadHandle> Run(Body body);

  // Joins every tracked thread, also those started while it waits. Must not be called from
  // a tracked thread.
  void JoinAll();
  // Joins the threads that have ended; the calling thread is never among them.
  void Reap();
  // Threads started and not yet reaped, kept threads included.
  size_t Count();
  // Kept threads waiting for a body.
  size_t IdleCount();

 private:
  struct Tracked {
    std::shared_ptr<ThreadHandle> handle;
    std::thread thread;
  };
  struct Job {
    std::shared_ptr<ThreadHandle> handle;
    Body body;
  };
  std::vector<Tracked> TakeEnded();
  // The loop of a kept thread: bodies one after another until none comes for keptIdle_.
  void Keep(Job first);
  bool NextJob(Job& job);

  StopFlag& stop_;
  const FaultReport fault_;
  const std::chrono::milliseconds keptIdle_;
  // Guards threads_ and the kept threads' queue (jobs_, idle_, releasing_).
  std::mutex lock_;
  std::condition_variable jobQueued_;
  std::vector<Tracked> threads_;
  std::deque<Job> jobs_;
  size_t idle_ = 0;
  // Set while JoinAll() runs: kept threads with nothing to do end at once.
  bool releasing_ = false;
};

// What the exception being handled says, for a last guard's log line: its type's name where
// it is a std::exception ("std::out_of_range: stoull"), else that it is of an unknown type.
// Call only inside a catch block.
std::string CurrentExceptionText();

}  // namespace vellomar
