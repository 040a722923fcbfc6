#include "platform/executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread_executor.h"

namespace vellomar {
namespace {

using std::chrono::seconds;

TEST(ExecutorTest, InvokeRunsOnTheWindowThreadAndWaitsForTheTask) {
  StopFlag stop;
  ThreadExecutor windowThread(stop);
  std::thread::id ranOn;
  auto ran = windowThread.InvokeFor<std::thread::id>([] { return std::this_thread::get_id(); });
  ASSERT_TRUE(ran.has_value());
  EXPECT_NE(*ran, std::this_thread::get_id());
  EXPECT_TRUE(windowThread.Invoke([&] { ranOn = std::this_thread::get_id(); }));
  EXPECT_EQ(ranOn, *ran);
}

TEST(ExecutorTest, InvokeOnTheWindowThreadRunsInline) {
  StopFlag stop;
  ThreadExecutor windowThread(stop);
  // A task that invokes again would wait for itself forever if the inner call were queued.
  auto inner = windowThread.InvokeFor<int>([&] {
    auto nested = windowThread.InvokeFor<int>([] { return 5; });
    return nested ? *nested + 1 : -1;
  });
  ASSERT_TRUE(inner.has_value());
  EXPECT_EQ(*inner, 6);
}

// A task that throws ends alone: its Invoke() says it did not run to its end, the fault is
// reported, and the window's thread goes on with the next task.
TEST(ExecutorTest, ATaskThatThrowsEndsAloneAndIsReported) {
  StopFlag stop;
  ThreadExecutor windowThread(stop);
  std::mutex lock;
  std::vector<std::string> reports;
  windowThread.SetFaultReport([&](const std::string& fault) {
    std::lock_guard<std::mutex> guard(lock);
    reports.push_back(fault);
  });
  EXPECT_FALSE(windowThread.Invoke([] { throw std::out_of_range("stoull"); }));
  EXPECT_TRUE(windowThread.Post([] { throw 42; }));
  EXPECT_EQ(windowThread.InvokeFor<int>([] { return 7; }), 7);
  std::lock_guard<std::mutex> guard(lock);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], "a task of the window's thread ended by an unexpected fault: std::out_of_range: stoull");
  EXPECT_EQ(reports[1], "a task of the window's thread ended by an unexpected fault: an exception of an unknown type");
}

TEST(ExecutorTest, PostsRunInOrderAndAreDroppedAfterStop) {
  StopFlag stop;
  ThreadExecutor windowThread(stop);
  std::vector<int> order;
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(windowThread.Post([&order, i] { order.push_back(i); }));
  windowThread.Stop();
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_FALSE(windowThread.Post([&order] { order.push_back(-1); }));
  EXPECT_FALSE(windowThread.Invoke([&order] { order.push_back(-1); }));
  EXPECT_EQ(order.size(), 100u);
}

TEST(ExecutorTest, ADelayedPostWaitsItsTurnWithoutHoldingBackLaterOnesAndAStopRunsItAtOnce) {
  using std::chrono::milliseconds;
  StopFlag stop;
  ThreadExecutor windowThread(stop);
  std::mutex lock;
  std::vector<int> order;
  auto record = [&](int i) {
    return [&, i] {
      std::lock_guard<std::mutex> guard(lock);
      order.push_back(i);
    };
  };
  auto posted = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration ranAfter{};
  ASSERT_TRUE(windowThread.PostAfter(milliseconds{60}, [&] {
    ranAfter = std::chrono::steady_clock::now() - posted;
    record(1)();
  }));
  std::promise<void> bothRan;
  ASSERT_TRUE(windowThread.PostAfter(milliseconds{60}, [&] {
    record(2)();
    bothRan.set_value();
  }));
  ASSERT_TRUE(windowThread.Post(record(0)));
  ASSERT_TRUE(windowThread.Invoke([] {}));
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(order, std::vector<int>({0}));
  }
  ASSERT_EQ(bothRan.get_future().wait_for(std::chrono::seconds{5}), std::future_status::ready);
  EXPECT_EQ(order, std::vector<int>({0, 1, 2}));
  EXPECT_GE(ranAfter, milliseconds{60});

  ASSERT_TRUE(windowThread.PostAfter(std::chrono::hours{1}, record(3)));
  windowThread.Stop();
  EXPECT_EQ(order, std::vector<int>({0, 1, 2, 3}));
}

TEST(ExecutorTest, AfterStopRequestedInvokeNeitherWaitsNorRuns) {
  StopFlag stop;
  ThreadExecutor windowThread(stop);
  stop.Set();
  std::atomic<bool> ran{false};
  EXPECT_FALSE(windowThread.Invoke([&] { ran = true; }));
  EXPECT_FALSE(windowThread.InvokeFor<int>([] { return 1; }).has_value());
  // Even on the window's own thread.
  windowThread.Post([&] { windowThread.Invoke([&] { ran = true; }); });
  windowThread.Stop();
  EXPECT_FALSE(ran);
}

TEST(ExecutorTest, StopReleasesACallerAlreadyWaitingAndItsTaskNeverRuns) {
  StopFlag stop;
  ThreadExecutor windowThread(stop);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> busy{false};
  windowThread.Post([&busy, released] {
    busy = true;
    released.wait();  // the window's thread is busy, as in a shutdown waiting for threads
  });
  while (!busy) std::this_thread::yield();

  auto ran = std::make_shared<std::atomic<bool>>(false);
  auto caller = std::async(std::launch::async, [&windowThread, ran] { return windowThread.Invoke([ran] { *ran = true; }); });
  EXPECT_EQ(caller.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  stop.Set();
  ASSERT_EQ(caller.wait_for(seconds(20)), std::future_status::ready);
  EXPECT_FALSE(caller.get());

  release.set_value();
  windowThread.Stop();
  EXPECT_FALSE(*ran) << "an abandoned task ran after its caller left";
}

}  // namespace
}  // namespace vellomar
