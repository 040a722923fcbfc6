#include "ui/signal_watcher.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace vellomar {
namespace {

// SIGUSR2 stands for the ending signals; SIGUSR1, which the watcher always takes as well,
// is blocked too.
sigset_t BlockUsr2(sigset_t& before) {
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGUSR2);
  sigset_t blocked = ending;
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  return ending;
}

TEST(SignalWatcherTest, AnEndingSignalIsHandedOverOnce) {
  sigset_t before;
  sigset_t ending = BlockUsr2(before);
  std::promise<void> handed;
  {
    SignalWatcher watcher(ending);
    watcher.HandOver([&handed] { handed.set_value(); });
    ::kill(::getpid(), SIGUSR2);
    EXPECT_EQ(handed.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  EXPECT_TRUE(SocketLayerAvailable());
}

// SIGUSR1 asks for a delivery: handed to its callback each time once set, and never an end
// of the program, not even before there is a callback.
TEST(SignalWatcherTest, DeliverNowIsHandedOverEachTimeAndNeverEnds) {
  sigset_t before;
  sigset_t ending = BlockUsr2(before);
  std::atomic<int> asked{0};
  std::atomic<bool> done{false};
  std::promise<void> twice;
  {
    SignalWatcher watcher(ending);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto until = [deadline](auto done) {
      while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      return done();
    };
    ::kill(::getpid(), SIGUSR1);  // nobody to hand it to yet: the program goes on
    ASSERT_TRUE(until([] {
      sigset_t pending;
      sigpending(&pending);
      return sigismember(&pending, SIGUSR1) == 0;
    })) << "the watcher takes it";
    // The watcher may still be handing that first one over as the callback arrives: it then
    // counts too, and the two that follow make three.
    watcher.OnDeliverNow([&asked, &twice, &done] {
      if (++asked >= 2 && !done.exchange(true)) twice.set_value();
    });
    ::kill(::getpid(), SIGUSR1);
    ASSERT_TRUE(until([&asked] { return asked.load() >= 1; }));
    ::kill(::getpid(), SIGUSR1);
    EXPECT_EQ(twice.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    ASSERT_TRUE(until([&asked] { return asked.load() >= 2; }));
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  EXPECT_GE(asked.load(), 2);
  EXPECT_LE(asked.load(), 3);
}

// Before the hand-over (the first-start questions) a signal ends the program at once; after
// it, the second one does, whatever the shutdown begun by the first is doing.
TEST(SignalWatcherTest, ASignalBeforeTheHandOverOrASecondOneEndsAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int handled : {0, 1}) {
    EXPECT_EXIT(
        {
          sigset_t before;
          sigset_t ending = BlockUsr2(before);
          SignalWatcher watcher(ending);
          std::promise<void> first;
          if (handled == 1) {
            watcher.HandOver([&first] { first.set_value(); });
            ::kill(::getpid(), SIGUSR2);
            if (first.get_future().wait_for(std::chrono::seconds(20)) != std::future_status::ready) std::_Exit(1);
          }
          ::kill(::getpid(), SIGUSR2);
          // The watcher ends the process long before this wait is over.
          std::this_thread::sleep_for(std::chrono::seconds(20));
          std::_Exit(2);
        },
        testing::KilledBySignal(SIGUSR2), "")
        << (handled == 1 ? "a second signal" : "a signal before the hand-over");
  }
}

}  // namespace
}  // namespace vellomar
