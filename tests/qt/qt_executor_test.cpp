#include "qt/qt_executor.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace vellomar {
namespace {

TEST(QtExecutorTest, TasksRunOnQtsThreadInlineThereAndNotAfterClose) {
  StopFlag stop;
  QtExecutor windowThread(stop);
  EXPECT_TRUE(windowThread.IsCurrentThread());
  int ran = 0;
  EXPECT_TRUE(windowThread.Invoke([&] { ++ran; })) << "inline on the window's thread";
  EXPECT_EQ(ran, 1);

  // From another thread: queued, run when the event loop turns.
  auto caller = std::async(std::launch::async, [&windowThread] {
    return windowThread.InvokeFor<bool>([&windowThread] { return windowThread.IsCurrentThread(); });
  });
  while (caller.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) QApplication::processEvents();
  auto onWindowThread = caller.get();
  ASSERT_TRUE(onWindowThread.has_value());
  EXPECT_TRUE(*onWindowThread);

  windowThread.Close();
  EXPECT_FALSE(windowThread.Post([&] { ++ran; }));
  QApplication::processEvents();
  EXPECT_EQ(ran, 1);
}

TEST(QtExecutorTest, AStopReleasesACallerWaitingForTheWindowsThread) {
  StopFlag stop;
  QtExecutor windowThread(stop);
  auto caller = std::async(std::launch::async, [&windowThread] { return windowThread.Invoke([] {}); });
  // The event loop never turns here, as while shutdown waits for threads.
  EXPECT_EQ(caller.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  stop.Set();
  ASSERT_EQ(caller.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(caller.get());
  QApplication::processEvents();  // the abandoned task is skipped
}

}  // namespace
}  // namespace vellomar
