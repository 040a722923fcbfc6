#include "relay/status_file.h"

#include <gtest/gtest.h>

#include "relay/waiting_watch.h"
#include "support/temp_dir.h"

#include <functional>
#include <map>
#include <ctime>
#include <string>
#include <vector>

namespace vellomar {
namespace {

TEST(StatusFileTest, WhatIsWrittenReadsBackTheSame) {
  RelayStatusFile status;
  status.pid = 4242;
  status.started = 1796540703;
  status.ports = {25, 587, 465};
  status.accounts["default"] = {1796540800, 1796540900, "relay.example: 451 4.3.2 busy", false, true};
  status.accounts["shop \xc3\xa9t\xc3\xa9"] = {std::nullopt, 1796540950, "sign-in to Google expired", true, false};
  status.spoolTroubleAt = 1796541000;
  status.spoolTrouble = "can't write spool file 1.tml: No space left on device";
  status.nextTries = {{"123.TML", 1796541060}, {"124.TML", 1796541120}};
  auto read = ParseStatusFile(StatusFileText(status));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, status);
  EXPECT_EQ(ParseStatusFile(StatusFileText(RelayStatusFile{})), RelayStatusFile{});
}

// Whatever another program left in the file is read with bounds: a text that is no status file
// gives none, a value of the wrong kind or out of bounds is left out, the rest is kept.
TEST(StatusFileTest, AHostileFileIsReadWithBounds) {
  struct Case {
    const char* name;
    std::string text;
    bool status;
    std::function<void(const RelayStatusFile&)> check{};
  };
  const std::string huge(kMaxStatusFile + 1, ' ');
  const Case cases[] = {
      {"empty", "", false},
      {"not JSON", "pid=1\n", false},
      {"an array", "[1,2]", false},
      {"no version", R"({"pid":1})", false},
      {"another version", R"({"version":2,"pid":1})", false},
      {"larger than any status file", "{\"version\":1}" + huge, false},
      {"cut short", R"({"version":1,"pid":12,"ports":[25,)", false},
      {"values of the wrong kinds", R"({"version":1,"pid":"12","started":1.5,"ports":"25","accounts":[],"nextTries":7})",
       true,
       [](const RelayStatusFile& s) {
         EXPECT_EQ(s.pid, 0);
         EXPECT_EQ(s.started, 0);
         EXPECT_TRUE(s.ports.empty());
         EXPECT_TRUE(s.accounts.empty());
         EXPECT_TRUE(s.nextTries.empty());
       }},
      {"numbers out of bounds", R"({"version":1,"pid":-5,"started":99999999999999999999,"ports":[0,25,70000,-1,587],)"
                                R"("nextTries":{"a.tml":18446744073709551615,"b.tml":-9223372036854775808,"c.tml":60}})",
       true,
       [](const RelayStatusFile& s) {
         EXPECT_EQ(s.pid, 0);
         EXPECT_EQ(s.started, 0);
         EXPECT_EQ(s.ports, (std::vector<int>{25, 587}));
         EXPECT_EQ(s.nextTries, (std::map<std::string, int64_t>{{"c.tml", 60}}));
       }},
      {"accounts of any shape", R"({"version":1,"accounts":{"a":7,"b":{"lastSuccess":"x","signInNeeded":1,)"
                                R"("loginRefused":true,"lastFailureReason":5},"c":{}}})",
       true,
       [](const RelayStatusFile& s) {
         ASSERT_EQ(s.accounts.size(), 2u);
         EXPECT_EQ(s.accounts.at("b"), (AccountStatus{std::nullopt, std::nullopt, "", false, true}));
         EXPECT_EQ(s.accounts.at("c"), AccountStatus{});
       }},
      {"a reason longer than a log line", R"({"version":1,"accounts":{"a":{"lastFailureReason":")" +
                                              std::string(5000, 'r') + R"("}}})",
       true, [](const RelayStatusFile& s) { EXPECT_EQ(s.accounts.at("a").lastFailureReason.size(), 1024u); }},
      {"a spool trouble without its time", R"({"version":1,"spoolTrouble":{"reason":"full"}})", true,
       [](const RelayStatusFile& s) {
         EXPECT_FALSE(s.spoolTroubleAt.has_value());
         EXPECT_EQ(s.spoolTrouble, "");
       }},
      {"deeply nested", "{\"version\":1,\"ports\":" + std::string(2000, '[') + std::string(2000, ']') + "}", true,
       [](const RelayStatusFile& s) { EXPECT_TRUE(s.ports.empty()); }},
  };
  for (const Case& c : cases) {
    auto read = ParseStatusFile(c.text);
    EXPECT_EQ(read.has_value(), c.status) << c.name;
    if (read && c.check) c.check(*read);
  }
}

// The status keeper's look at the waiting mail: each message that passed the age is told once,
// a notice is aged from its file, and one still being received waits for the next look.
TEST(WaitingWatchTest, EachMessageThatPassedTheAgeIsToldOnce) {
  test::TempDir dir;
  const std::time_t now = std::time(nullptr);
  auto message = [&](const std::string& recipients, const std::string& date) {
    return "HELO a\r\nMAIL FROM:<ann@example.org>\r\n" + recipients + "DATA\r\nReceived: from a\r\n\tby b with Vellomar; " +
           date + "\r\n\r\nx\r\n.\r\nQUIT\r\n";
  };
  dir.Write("1.tml", message("XCPT TO:<a@x>\r\nSCPT TO:<b@x>\r\n", "Sun, 6 Dec 2026 08:05:03 +0000"));
  dir.Write("2.tml", "HELO relay\r\nMAIL FROM:<>\r\nRCPT TO:<ann@example.org>\r\nDATA\r\n\r\nx\r\n.\r\nQUIT\r\n");
  dir.Write("3.tml", "HELO a\r\nMAIL FROM:<ann@example.org>\r\n");
  dir.Write("4.txt", message("RCPT TO:<c@x>\r\n", "Sun, 6 Dec 2026 08:05:03 +0000"));
  WaitingWatch watch(dir.path());
  const std::time_t dated = 1796544303;  // Sun, 6 Dec 2026 08:05:03 UTC
  auto passed = watch.Look(dated + 3601, std::chrono::hours(1));
  ASSERT_EQ(passed.size(), 1u);
  EXPECT_EQ(passed[0].name, "1.tml");
  EXPECT_EQ(passed[0].sender, "<ann@example.org>");
  EXPECT_EQ(passed[0].recipient, "<b@x>");
  EXPECT_EQ(passed[0].arrival, dated);
  EXPECT_EQ(watch.Names(), (std::vector<std::string>{"1.tml", "2.tml"})) << "3.tml is still being received";
  EXPECT_TRUE(watch.Look(dated + 7200, std::chrono::hours(1)).empty()) << "told once";
  passed = watch.Look(now + 3601, std::chrono::hours(1));
  ASSERT_EQ(passed.size(), 1u) << "the notice, from when its file was made";
  EXPECT_EQ(passed[0].name, "2.tml");
}

}  // namespace
}  // namespace vellomar
