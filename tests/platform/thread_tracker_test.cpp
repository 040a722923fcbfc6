#include "platform/thread_tracker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <thread>
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

// Bodies handed to Run one after another take the thread the last one left: each has a handle
// of its own that ends with its body, a fault ends its body alone, and the thread stays.
TEST(ThreadTrackerTest, RunKeepsOneThreadForBodiesOneAfterAnother) {
  StopFlag stop;
  std::atomic<int> faults{0};
  ThreadTracker tracker(stop, [&](const std::string&) { ++faults; }, std::chrono::hours(1));
  std::mutex lock;
  std::set<std::thread::id> seen;
  for (int i = 0; i < 20; ++i) {
    auto handle = tracker.Run([&, i](ThreadHandle& self) -> int {
      EXPECT_EQ(ThreadHandle::Current(), &self);
      std::lock_guard<std::mutex> guard(lock);
      seen.insert(std::this_thread::get_id());
      if (i == 7) throw std::runtime_error("body seven");
      return i;
    });
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(handle->WaitFor(seconds(20)));
    EXPECT_EQ(handle->ExitCode(), i == 7 ? ThreadTracker::kFaultExitCode : i);
    // The body ends before its thread looks for the next: wait until it does, boundedly.
    for (int spin = 0; spin < 20000 && tracker.IdleCount() == 0; ++spin) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(faults, 1);
  EXPECT_EQ(tracker.Count(), 1u);
  // JoinAll does not wait out the idle hour: a kept thread with nothing to do ends at once.
  auto joined = std::async(std::launch::async, [&] { tracker.JoinAll(); });
  ASSERT_EQ(joined.wait_for(seconds(20)), std::future_status::ready);
  EXPECT_EQ(tracker.Count(), 0u);
  EXPECT_EQ(tracker.IdleCount(), 0u);
}

// Bodies that run at once each get a thread; the threads end once idle for their time, and a
// body handed over later starts a thread again.
TEST(ThreadTrackerTest, RunStartsAThreadPerBusyBodyAndIdleThreadsEnd) {
  StopFlag stop;
  ThreadTracker tracker(stop, nullptr, std::chrono::milliseconds(50));
  std::atomic<bool> release{false};
  std::vector<std::shared_ptr<ThreadHandle>> handles;
  for (int i = 0; i < 4; ++i) {
    handles.push_back(tracker.Run([&](ThreadHandle&) {
      while (!release) std::this_thread::yield();
      return 0;
    }));
    ASSERT_NE(handles.back(), nullptr);
  }
  EXPECT_EQ(tracker.Count(), 4u);
  release = true;
  for (auto& handle : handles) ASSERT_TRUE(handle->WaitFor(seconds(20)));
  for (int spin = 0; spin < 20000 && tracker.Count() > 0; ++spin) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    tracker.Reap();
  }
  EXPECT_EQ(tracker.Count(), 0u) << "idle kept threads end";
  auto again = tracker.Run([](ThreadHandle&) { return 5; });
  ASSERT_NE(again, nullptr);
  ASSERT_TRUE(again->WaitFor(seconds(20)));
  EXPECT_EQ(again->ExitCode(), 5);
  tracker.JoinAll();
}

}  // namespace
}  // namespace vellomar
