#include "platform/thread_handle.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>

#include "platform/thread_tracker.h"
#include "support/loopback.h"

namespace vellomar {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(ThreadHandleTest, SuspendAndResumeReturnThePreviousCount) {
  StopFlag stop;
  ThreadHandle handle(stop);
  EXPECT_EQ(handle.Suspend(), 0);
  EXPECT_EQ(handle.Suspend(), 1);
  EXPECT_EQ(handle.Resume(), 2);
  EXPECT_EQ(handle.Resume(), 1);
  EXPECT_EQ(handle.Resume(), 0);  // already running: stays at 0
  EXPECT_EQ(handle.SuspendCount(), 0);
}

TEST(ThreadHandleTest, GateHoldsThePausedThreadUntilResumed) {
  StopFlag stop;
  ThreadTracker tracker(stop);
  std::atomic<int> passes{0};
  std::atomic<bool> pauseNow{false};
  auto thread = tracker.Start([&](ThreadHandle& self) {
    while (passes < 3) {
      if (!self.PassGate()) return 0;
      ++passes;
      if (passes == 1) {
        self.Suspend();  // as the controller would, between two passes
        pauseNow = true;
      }
    }
    return 7;
  });
  ASSERT_NE(thread, nullptr);
  while (!pauseNow) std::this_thread::yield();
  EXPECT_FALSE(thread->WaitFor(milliseconds(50)));
  EXPECT_EQ(passes, 1);
  EXPECT_EQ(thread->ExitCode(), ThreadHandle::kStillActive);
  EXPECT_EQ(thread->Resume(), 1);
  ASSERT_TRUE(thread->WaitFor(seconds(20)));
  EXPECT_EQ(passes, 3);
  EXPECT_EQ(thread->ExitCode(), 7);
  EXPECT_FALSE(thread->IsRunning());
}

TEST(ThreadHandleTest, GateWakesAtStopAndAtCancelWithoutResume) {
  for (bool byStop : {true, false}) {
    StopFlag stop;
    ThreadTracker tracker(stop);
    std::atomic<bool> go{false};
    std::atomic<bool> atGate{false};
    auto thread = tracker.Start([&](ThreadHandle& self) {
      while (!go) std::this_thread::yield();
      atGate = true;
      return self.PassGate() ? 1 : 2;
    });
    ASSERT_NE(thread, nullptr);
    thread->Suspend();
    go = true;
    while (!atGate) std::this_thread::yield();
    EXPECT_FALSE(thread->WaitFor(milliseconds(20)));
    if (byStop) {
      stop.Set();
    } else {
      thread->Cancel();
    }
    ASSERT_TRUE(thread->WaitFor(seconds(20))) << (byStop ? "stop" : "cancel");
    EXPECT_EQ(thread->ExitCode(), 2);
    EXPECT_EQ(thread->SuspendCount(), 1);  // woken, not resumed
  }
}

TEST(ThreadHandleTest, CancelShutsDownTheWatchedSocketSoABlockedReadReturns) {
  StopFlag stop;
  ThreadTracker tracker(stop);
  auto pair = test::ConnectLoopback();
  std::atomic<bool> watching{false};
  auto thread = tracker.Start([&](ThreadHandle&) {
    SocketWatch watch(pair.server.get());
    watching = true;
    char byte;
    // Nothing is ever sent: only the cancel can end this wait early.
    bool readable = test::WaitReadable(pair.server.get(), 60000);
    return readable && ::recv(pair.server.get(), &byte, 1, 0) == 0 ? 1 : 0;
  });
  ASSERT_NE(thread, nullptr);
  while (!watching) std::this_thread::yield();
  thread->Cancel();
  ASSERT_TRUE(thread->WaitFor(seconds(20)));
  EXPECT_EQ(thread->ExitCode(), 1);
  EXPECT_TRUE(thread->IsCancelled());
}

TEST(ThreadHandleTest, WatchAfterCancelFailsAndUnwatchedSocketsAreLeftAlone) {
  StopFlag stop;
  auto first = test::ConnectLoopback();
  auto second = test::ConnectLoopback();
  ThreadHandle handle(stop);
  ASSERT_TRUE(handle.WatchSocket(first.server.get()));
  handle.UnwatchSocket();
  handle.Cancel();
  // The unwatched connection still carries data both ways.
  ASSERT_EQ(::send(first.client.get(), "x", 1, MSG_NOSIGNAL), 1);
  ASSERT_TRUE(test::WaitReadable(first.server.get(), 20000));
  char byte = 0;
  EXPECT_EQ(::recv(first.server.get(), &byte, 1, 0), 1);
  // A socket watched after the cancel is shut down at once.
  EXPECT_FALSE(handle.WatchSocket(second.server.get()));
  ASSERT_TRUE(test::WaitReadable(second.server.get(), 20000));
  EXPECT_EQ(::recv(second.server.get(), &byte, 1, 0), 0);
}

}  // namespace
}  // namespace vellomar
