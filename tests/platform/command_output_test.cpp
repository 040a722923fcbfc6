#include "platform/command_output.h"

#include <gtest/gtest.h>

#include <cerrno>

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
    auto line = FirstOutputLine(c.command, milliseconds(300));
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
  auto line = FirstOutputLine("yes secret", milliseconds(300));
  EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(3000));
  ASSERT_TRUE(line.ok()) << line.error();
  EXPECT_EQ(line.value(), "secret") << "a broken pipe ends the writer";
}

}  // namespace
}  // namespace vellomar
