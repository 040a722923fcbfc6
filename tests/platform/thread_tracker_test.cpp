#include "platform/thread_tracker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vellomar {
namespace {

using std::chrono::seconds;

TEST(ThreadTrackerTest, ExitCodeIsStillActiveUntilTheBodyReturns) {
  StopFlag stop;
  ThreadTracker tracker(stop);
  std::atomic<bool> release{false};
  auto thread = tracker.Start([&](ThreadHandle& self) {
    EXPECT_EQ(ThreadHandle::Current(), &self);
    while (!release) std::this_thread::yield();
    return 42;
  });
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(thread->IsRunning());
  EXPECT_EQ(thread->ExitCode(), ThreadHandle::kStillActive);
  release = true;
  ASSERT_TRUE(thread->WaitFor(seconds(20)));
  EXPECT_EQ(thread->ExitCode(), 42);
  EXPECT_EQ(ThreadHandle::Current(), nullptr);
}

// An exception that leaves a body ends that thread alone, described once; the process and the
// tracker's other threads go on.
TEST(ThreadTrackerTest, AnExceptionEndsItsThreadAloneAndIsReported) {
  StopFlag stop;
  std::mutex lock;
  std::vector<std::string> reports;
  ThreadTracker tracker(stop, [&](const std::string& fault) {
    std::lock_guard<std::mutex> guard(lock);
    reports.push_back(fault);
  });
  auto thrower = tracker.Start([](ThreadHandle&) -> int { throw std::out_of_range("stoull"); });
  ASSERT_NE(thrower, nullptr);
  ASSERT_TRUE(thrower->WaitFor(seconds(20)));
  EXPECT_EQ(thrower->ExitCode(), ThreadTracker::kFaultExitCode);
  auto next = tracker.Start([](ThreadHandle&) { return 3; });
  ASSERT_NE(next, nullptr);
  ASSERT_TRUE(next->WaitFor(seconds(20)));
  EXPECT_EQ(next->ExitCode(), 3);
  tracker.JoinAll();
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(reports, std::vector<std::string>{"a thread ended by an unexpected fault: std::out_of_range: stoull"});
}

TEST(ThreadTrackerTest, EndedThreadsAreReapedWhenTheNextStarts) {
  StopFlag stop;
  ThreadTracker tracker(stop);
  for (int i = 0; i < 50; ++i) {
    auto thread = tracker.Start([](ThreadHandle&) { return 0; });
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(thread->WaitFor(seconds(20)));
  }
  // Only the last one can still be waiting for its join.
  EXPECT_LE(tracker.Count(), 1u);
  tracker.Reap();
  EXPECT_EQ(tracker.Count(), 0u);
}

TEST(ThreadTrackerTest, JoinAllJoinsThreadsStartedByTrackedThreads) {
  StopFlag stop;
  ThreadTracker tracker(stop);
  std::atomic<int> finished{0};
  for (int i = 0; i < 4; ++i) {
    tracker.Start([&](ThreadHandle&) {
      // Like a listener starting sessions: each start reaps, never joining itself.
      for (int j = 0; j < 4; ++j) {
        tracker.Start([&](ThreadHandle&) {
          ++finished;
          return 0;
        });
      }
      ++finished;
      return 0;
    });
  }
  tracker.JoinAll();
  EXPECT_EQ(finished, 20);
  EXPECT_EQ(tracker.Count(), 0u);
}

}  // namespace
}  // namespace vellomar
