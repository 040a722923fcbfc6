#include "platform/executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/thread_executor.h"

namespace vellomar {
namespace {

using std::chrono::seconds;

TEST(ExecutorTest, InvokeRunsOnTheWindowThreadAndWaitsForTheTask) {
  StopFlag stop;
  ThreadExecutor window(stop);
  std::thread::id ranOn;
  auto ran = window.InvokeFor<std::thread::id>([] { return std::this_thread::get_id(); });
  ASSERT_TRUE(ran.has_value());
  EXPECT_NE(*ran, std::this_thread::get_id());
  EXPECT_TRUE(window.Invoke([&] { ranOn = std::this_thread::get_id(); }));
  EXPECT_EQ(ranOn, *ran);
}

TEST(ExecutorTest, InvokeOnTheWindowThreadRunsInline) {
  StopFlag stop;
  ThreadExecutor window(stop);
  // A task that invokes again would wait for itself forever if the inner call were queued.
  auto inner = window.InvokeFor<int>([&] {
    auto nested = window.InvokeFor<int>([] { return 5; });
    return nested ? *nested + 1 : -1;
  });
  ASSERT_TRUE(inner.has_value());
  EXPECT_EQ(*inner, 6);
}

TEST(ExecutorTest, PostsRunInOrderAndAreDroppedAfterStop) {
  StopFlag stop;
  ThreadExecutor window(stop);
  std::vector<int> order;
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(window.Post([&order, i] { order.push_back(i); }));
  window.Stop();
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_FALSE(window.Post([&order] { order.push_back(-1); }));
  EXPECT_FALSE(window.Invoke([&order] { order.push_back(-1); }));
  EXPECT_EQ(order.size(), 100u);
}

TEST(ExecutorTest, AfterStopRequestedInvokeNeitherWaitsNorRuns) {
  StopFlag stop;
  ThreadExecutor window(stop);
  stop.Set();
  std::atomic<bool> ran{false};
  EXPECT_FALSE(window.Invoke([&] { ran = true; }));
  EXPECT_FALSE(window.InvokeFor<int>([] { return 1; }).has_value());
  // Even on the window's own thread.
  window.Post([&] { window.Invoke([&] { ran = true; }); });
  window.Stop();
  EXPECT_FALSE(ran);
}

TEST(ExecutorTest, StopReleasesACallerAlreadyWaitingAndItsTaskNeverRuns) {
  StopFlag stop;
  ThreadExecutor window(stop);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> busy{false};
  window.Post([&busy, released] {
    busy = true;
    released.wait();  // the window's thread is busy, as in a shutdown waiting for threads
  });
  while (!busy) std::this_thread::yield();

  auto ran = std::make_shared<std::atomic<bool>>(false);
  auto caller = std::async(std::launch::async, [&window, ran] { return window.Invoke([ran] { *ran = true; }); });
  EXPECT_EQ(caller.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  stop.Set();
  ASSERT_EQ(caller.wait_for(seconds(20)), std::future_status::ready);
  EXPECT_FALSE(caller.get());

  release.set_value();
  window.Stop();
  EXPECT_FALSE(*ran) << "an abandoned task ran after its caller left";
}

}  // namespace
}  // namespace vellomar
