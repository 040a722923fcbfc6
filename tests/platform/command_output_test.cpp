#include "platform/command_output.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <thread>

#include "platform/stop_flag.h"

namespace vellomar {
namespace {

using std::chrono::milliseconds;

TEST(CommandOutputTest, TheFirstLineOrWhyThereIsNone) {
  struct Case {
    const char* command;
    const char* line;  // nullptr: fails
    int error;
  };
  const Case cases[] = {
      {"printf 'token-1\\nsecond\\n'", "token-1", 0},
      {"printf 'with spaces and : \\r\\n'", "with spaces and : ", 0},
      {"printf 'no line end'", "no line end", 0},
      {"printf ''", "", 0},
      {"exit 1", nullptr, ECHILD},
      {"echo printed; exit 2", nullptr, ECHILD},
      {"read line; echo \"got $line\"", "got ", 0},  // standard input is empty
      {"sleep 5", nullptr, ETIMEDOUT},
      {"echo early; sleep 5", nullptr, ETIMEDOUT},
      {"/nonexistent/command", nullptr, ECHILD},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    auto started = std::chrono::steady_clock::now();
    StopFlag stop;
    auto line = FirstOutputLine(c.command, milliseconds(300), stop);
    EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(3000)) << "bounded by the wait";
    if (c.line != nullptr) {
      ASSERT_TRUE(line.ok()) << line.error();
      EXPECT_EQ(line.value(), c.line);
    } else {
      ASSERT_FALSE(line.ok()) << line.value();
      EXPECT_EQ(line.error(), c.error);
    }
  }
}

TEST(CommandOutputTest, AWriterThatGoesOnIsNotWaitedForBeyondTheLimit) {
  auto started = std::chrono::steady_clock::now();
  StopFlag stop;
  auto line = FirstOutputLine("yes secret", milliseconds(300), stop);
  EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(3000));
  ASSERT_TRUE(line.ok()) << line.error();
  EXPECT_EQ(line.value(), "secret") << "a broken pipe ends the writer";
}

// A shutdown does not wait out the command's limit, and the command is not handed the
// program's blocked ending signals.
TEST(CommandOutputTest, AStopEndsTheWaitAndTheCommandRunsWithNoSignalBlocked) {
  StopFlag stop;
  std::thread stopper([&stop] {
    std::this_thread::sleep_for(milliseconds(200));  // the command is running by then, or soon
    stop.Set();
  });
  auto started = std::chrono::steady_clock::now();
  auto line = FirstOutputLine("sleep 30", milliseconds(20000), stop);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(5000));
  ASSERT_FALSE(line.ok());
  EXPECT_EQ(line.error(), ECANCELED);

  sigset_t ending, before;
  sigemptyset(&ending);
  sigaddset(&ending, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &ending, &before), 0);
  StopFlag never;
  auto blocked = FirstOutputLine("grep SigBlk /proc/self/status", milliseconds(5000), never);
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &before, nullptr), 0);
  ASSERT_TRUE(blocked.ok()) << blocked.error();
  EXPECT_EQ(blocked.value(), "SigBlk:\t0000000000000000");
}

}  // namespace
}  // namespace vellomar
