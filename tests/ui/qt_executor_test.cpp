#include "ui/qt_executor.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "ui/signal_watcher.h"

namespace vellomar {
namespace {

TEST(QtExecutorTest, TasksRunOnQtsThreadInlineThereAndNotAfterClose) {
  StopFlag stop;
  QtExecutor window(stop);
  EXPECT_TRUE(window.IsCurrentThread());
  int ran = 0;
  EXPECT_TRUE(window.Invoke([&] { ++ran; })) << "inline on the window's thread";
  EXPECT_EQ(ran, 1);

  // From another thread: queued, run when the event loop turns.
  auto caller = std::async(std::launch::async, [&window] {
    return window.InvokeFor<bool>([&window] { return window.IsCurrentThread(); });
  });
  while (caller.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) QApplication::processEvents();
  auto onWindowThread = caller.get();
  ASSERT_TRUE(onWindowThread.has_value());
  EXPECT_TRUE(*onWindowThread);

  window.Close();
  EXPECT_FALSE(window.Post([&] { ++ran; }));
  QApplication::processEvents();
  EXPECT_EQ(ran, 1);
}

TEST(QtExecutorTest, AStopReleasesACallerWaitingForTheWindowsThread) {
  StopFlag stop;
  QtExecutor window(stop);
  auto caller = std::async(std::launch::async, [&window] { return window.Invoke([] {}); });
  // The event loop never turns here, as while shutdown waits for threads.
  EXPECT_EQ(caller.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  stop.Set();
  ASSERT_EQ(caller.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(caller.get());
  QApplication::processEvents();  // the abandoned task is skipped
}

TEST(SignalWatcherTest, AnEndingSignalIsHandedOverOnce) {
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGUSR1);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &ending, &before);
  std::promise<void> handed;
  {
    SignalWatcher watcher(ending, [&handed] { handed.set_value(); });
    ::kill(::getpid(), SIGUSR1);
    EXPECT_EQ(handed.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  EXPECT_TRUE(SocketLayerAvailable());
}

}  // namespace
}  // namespace vellomar
