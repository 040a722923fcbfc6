#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/stop_flag.h"

namespace vellomar {

// What the rest of the program holds of one relay thread: whether it still runs and its exit
// code, a wait for its end with a time-out, the pause gate with its suspend count, and the
// cancel hook. The thread itself is owned and joined by the ThreadTracker; a handle may
// outlive it, as a controller or registry entry that still refers to it.
//
// Every member is safe to call from any thread; the handle's small lock is held only for
// moments and never across a wait on anything but the handle itself.
class ThreadHandle {
 public:
  // The exit code a thread reports while it still runs.
  static constexpr int kStillActive = 259;

  explicit ThreadHandle(StopFlag& stop) : stop_(stop) {}
  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;

  // The handle of the calling relay thread, or null on a thread the tracker did not start.
  static ThreadHandle* Current();

  bool IsRunning() const;
  int ExitCode() const;
  // True once the thread has ended, false when the time ran out first.
  bool WaitFor(std::chrono::milliseconds timeout);
  void Wait();

  // The pause gate. Suspend and Resume return the count as it was before the call, as the
  // system calls they stand in for do; Resume at count 0 leaves it at 0.
  int Suspend();
  int Resume();
  int SuspendCount() const;
  // Called by the thread itself before each action the pause guards. Blocks while the count
  // is above 0; returns false when the stop flag is set or the thread is cancelled (then
  // without waiting), true when the thread may go on.
  bool PassGate();

  // The cancel hook. The thread names the socket it is about to block on; Cancel() shuts that
  // socket down so the blocked call returns at once. Unwatch before closing the socket, so a
  // late cancel never reaches a descriptor number that was closed and reused.
  void Cancel();
  bool IsCancelled() const;
  // False (and the socket shut down already) when the thread was cancelled before.
  bool WatchSocket(int fd);
  void UnwatchSocket();

 private:
  friend class ThreadTracker;
  static void SetCurrent(ThreadHandle* handle);
  void MarkEnded(int exitCode);

  StopFlag& stop_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool running_ = true;
  int exitCode_ = kStillActive;
  int suspendCount_ = 0;
  bool cancelled_ = false;
  int watchedSocket_ = -1;
};

// Keeps a socket watched by the calling thread's cancel hook for its own lifetime.
class SocketWatch {
 public:
  explicit SocketWatch(int fd);
  ~SocketWatch();
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;
  // False when the thread was cancelled before the watch began.
  bool ok() const { return ok_; }

 private:
  ThreadHandle* handle_;
  bool ok_ = true;
};

}  // namespace vellomar
