#include <gtest/gtest.h>
#include <sys/stat.h>

#include "control/control_ids.h"
#include "control/settings_loading.h"
#include "platform/file_system.h"
#include "platform/local_clock.h"
#include "relay/log_file.h"
#include "support/relay_fixture.h"

namespace vellomar {
namespace {

class AppendLogTest : public test::RelayFixture {
 protected:
  AppendLogTest() {
    std::tm moment = test::LocalTimeOfDay(7, 42, 24);
    moment.tm_wday = 0;
    clock.Set(moment);
    Configure([&](Settings& s) { s.Logsize = 10; });
  }
  static constexpr const char* kStamp = "Sunday 06 December (2026) - 07:42:24 : ";
};

TEST_F(AppendLogTest, LineFormatInTheFileAndBareMessageInTheBox) {
  relay().AppendLog("Initializing...");
  relay().AppendLog("");
  // Whatever a message holds, it stays one line: control characters become '?'.
  relay().AppendLog("Error : can't find IP for mx.example\r\n" + std::string(kStamp) + "forged\x1b[2J\tend\x7f");
  const std::string tamed = "Error : can't find IP for mx.example??" + std::string(kStamp) + "forged?[2J?end?";
  EXPECT_EQ(LogContent(), std::string(kStamp) + "Initializing...\r\n" + kStamp + "\r\n" + kStamp + tamed + "\r\n");
  EXPECT_EQ(Notifications(), "Initializing...\r\n\r\n" + tamed + "\r\n");
}

TEST_F(AppendLogTest, TimeStampsUseEnglishNamesAndTwoDigitFields) {
  struct Case {
    int year, month, day, weekday, hour, minute, second;
    const char* want;
  };
  const Case cases[] = {
      {2026, 12, 6, 0, 7, 42, 24, "Sunday 06 December (2026) - 07:42:24 : "},
      {2027, 1, 1, 5, 0, 0, 0, "Friday 01 January (2027) - 00:00:00 : "},
      {2026, 9, 30, 3, 23, 5, 9, "Wednesday 30 September (2026) - 23:05:09 : "},
  };
  for (const Case& c : cases) {
    std::tm local{};
    local.tm_year = c.year - 1900;
    local.tm_mon = c.month - 1;
    local.tm_mday = c.day;
    local.tm_wday = c.weekday;
    local.tm_hour = c.hour;
    local.tm_min = c.minute;
    local.tm_sec = c.second;
    EXPECT_EQ(LogTimeStamp(local), c.want);
  }
}

TEST_F(AppendLogTest, FileIsSetAsideAsTheOldLogOnceItPassesTheLimit) {
  const std::string message(100, 'm');
  const std::string line = std::string(kStamp) + message + "\r\n";
  std::string written;
  while (written.size() + line.size() <= 10240) {
    relay().AppendLog(message);
    written += line;
  }
  EXPECT_EQ(LogContent(), written) << "at or below the limit nothing happens";
  EXPECT_FALSE(EntryExists(appDir().File("logfile.1")));
  relay().AppendLog(message);
  EXPECT_EQ(LogContent(), "") << "a new log begins";
  auto old = ReadWholeFile(appDir().File("logfile.1"));
  ASSERT_TRUE(old.ok());
  EXPECT_EQ(old.value(), written + line) << "the line that passed the limit is kept with the rest";
  relay().AppendLog("again");
  EXPECT_EQ(LogContent(), std::string(kStamp) + "again\r\n");
  // The next time the limit passes, the older log is replaced.
  Configure([&](Settings& s) { s.Logsize = 1; });
  relay().AppendLog(std::string(1100, 'n'));
  old = ReadWholeFile(appDir().File("logfile.1"));
  ASSERT_TRUE(old.ok());
  EXPECT_EQ(old.value(), std::string(kStamp) + "again\r\n" + kStamp + std::string(1100, 'n') + "\r\n");
  EXPECT_EQ(LogContent(), "");
  EXPECT_EQ(LogLimit(-5), 4294962176u);
}

TEST_F(AppendLogTest, NegativeLogsizeNeverEmptiesTheFile) {
  Configure([&](Settings& s) { s.Logsize = -5; });
  for (int i = 0; i < 300; ++i) relay().AppendLog(std::string(100, 'm'));
  EXPECT_EQ(LogContent().size(), 300u * (std::string(kStamp).size() + 102));
}

TEST_F(AppendLogTest, RestartAppendsToTheEarlierLines) {
  relay().AppendLog("first run");
  relay().CloseLog();
  relay().AppendLog("while closed");
  ASSERT_TRUE(relay().OpenLog());
  relay().MoveLogToEnd();
  relay().AppendLog("second run");
  EXPECT_EQ(LogContent(), std::string(kStamp) + "first run\r\n" + kStamp + "second run\r\n");
  EXPECT_EQ(Notifications(), "first run\r\nsecond run\r\n");
}

TEST_F(AppendLogTest, FailedReopenStopsAllLoggingAndSaysSoWithoutWaiting) {
  Configure([&](Settings& s) { s.Logsize = 1; });
  ASSERT_TRUE(RemoveFile(appDir().File("logfile")));
  ASSERT_EQ(::mkdir(appDir().File("logfile").c_str(), 0755), 0);  // the reopen will fail
  // and so will setting it aside: a folder that is not empty is never replaced.
  ASSERT_EQ(::mkdir(appDir().File("logfile.1").c_str(), 0755), 0);
  ASSERT_TRUE(ReplaceFileContents(appDir().File("logfile.1/keep"), "x"));
  relay().AppendLog(std::string(2000, 'x'));
  relay().AppendLog("after");
  EXPECT_EQ(Notifications(), std::string(2000, 'x') + "\r\n");
  auto messages = windowThread.InvokeFor<std::vector<MemoryControls::Message>>([this] { return controls.Messages(); });
  ASSERT_TRUE(messages.has_value());
  ASSERT_EQ(messages->size(), 1u);
  EXPECT_EQ(messages->front().text, "Can't reopen logfile. Logs ignored now...");
  EXPECT_EQ(messages->front().caption, "Vellomar error");
}

TEST_F(AppendLogTest, BoxKeepsItsNewestLinesAndTheOrderOfTheFile) {
  Configure([&](Settings& s) { s.Logsize = 100000; });
  std::vector<std::thread> loggers;
  for (int t = 0; t < 4; ++t) {
    loggers.emplace_back([this, t] {
      for (int i = 0; i < 400; ++i) relay().AppendLog(std::to_string(t) + ":" + std::to_string(i));
    });
  }
  for (auto& logger : loggers) logger.join();
  std::string box = Notifications();
  EXPECT_EQ(static_cast<size_t>(std::count(box.begin(), box.end(), '\n')), MemoryControls::kNotificationLines);
  // The box is the tail of the file, without stamps.
  std::string file = LogContent();
  std::string stripped;
  for (size_t at = 0; at < file.size();) {
    size_t end = file.find('\n', at) + 1;
    stripped += file.substr(at + std::string(kStamp).size(), end - at - std::string(kStamp).size());
    at = end;
  }
  ASSERT_GE(stripped.size(), box.size());
  EXPECT_EQ(stripped.substr(stripped.size() - box.size()), box);
}

}  // namespace
}  // namespace vellomar
