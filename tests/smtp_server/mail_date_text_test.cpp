#include "smtp_server/mail_date_text.h"

#include <gtest/gtest.h>

#include "common/header_date.h"
#include "platform/local_clock.h"

namespace vellomar {
namespace {

std::tm At(int year, int month, int day, int weekday, int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_wday = weekday;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  return local;
}

// The greeting keeps its described text; headers take RFC 5322's.
TEST(MailDateTextTest, WorkedTexts) {
  struct Case {
    std::tm local;
    long offset;
    const char* zone;
    const char* want;
    const char* header;
  };
  const Case cases[] = {
      {At(2026, 12, 6, 0, 8, 5, 3), 3600, "CET", "Sun, 6 Dec 2026 8:5:3 +0100 (CET)", "Sun, 6 Dec 2026 08:05:03 +0100"},
      {At(2026, 3, 3, 2, 14, 30, 0), -5 * 3600, "EST", "Tue, 3 Mar 2026 14:30:0 -0500 (EST)", "Tue, 3 Mar 2026 14:30:00 -0500"},
      {At(2026, 1, 1, 4, 0, 0, 9), 0, "GMT", "Thu, 1 Jan 2026 0:0:9 0000 (GMT)", "Thu, 1 Jan 2026 00:00:09 +0000"},
      {At(2026, 12, 6, 0, 18, 20, 45), 10 * 3600, "AEST", "Sun, 6 Dec 2026 18:20:45 +1000 (AEST)", "Sun, 6 Dec 2026 18:20:45 +1000"},
      {At(2026, 12, 6, 0, 8, 5, 3), 3600, "", "Sun, 6 Dec 2026 8:5:3 +0100 ", "Sun, 6 Dec 2026 08:05:03 +0100"},
      {At(2026, 7, 14, 2, 14, 0, 0), 7200, "CEST", "Tue, 14 Jul 2026 14:0:0 +0200 (CEST)", "Tue, 14 Jul 2026 14:00:00 +0200"},
      {At(2026, 5, 1, 5, 9, 0, 0), 5 * 3600 + 1800, "IST", "Fri, 1 May 2026 9:0:0 +0530 (IST)", "Fri, 1 May 2026 09:00:00 +0530"},
      {At(2026, 5, 1, 5, 9, 0, 0), -(3 * 3600 + 1800), "NST", "Fri, 1 May 2026 9:0:0 -0330 (NST)", "Fri, 1 May 2026 09:00:00 -0330"},
      {At(2026, 6, 30, 2, 23, 59, 59), -10 * 3600, "HST", "Tue, 30 Jun 2026 23:59:59 -1000 (HST)", "Tue, 30 Jun 2026 23:59:59 -1000"},
      {At(2026, 9, 5, 6, 12, 0, 0), 5 * 3600 + 45 * 60, "", "Sat, 5 Sep 2026 12:0:0 +0545 ", "Sat, 5 Sep 2026 12:00:00 +0545"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MailDateText(c.local, c.offset, c.zone), c.want);
    EXPECT_EQ(HeaderDate(c.local, c.offset), c.header);
  }
}

TEST(MailDateTextTest, CurrentTextUsesTheOffsetAndNameInEffect) {
  std::tm summer = At(2026, 7, 14, 2, 14, 0, 0);
  summer.tm_isdst = 1;
  summer.tm_gmtoff = 7200;
  summer.tm_zone = "CEST";
  SetLocalTimeSource([summer] { return summer; });
  EXPECT_EQ(MailDateText(), "Tue, 14 Jul 2026 14:0:0 +0200 (CEST)");
  SetLocalTimeSource(nullptr);
}

TEST(MailDateTextTest, SystemClockGivesTheLocalZoneOfTheMoment) {
  std::tm now = LocalTimeAt(std::time(nullptr));
  std::string text = MailDateText();
  // The zone name in effect closes the text; the offset has four digits before it.
  std::string zone = now.tm_zone ? now.tm_zone : "";
  std::string tail = zone.empty() ? " " : " (" + zone + ")";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
}

}  // namespace
}  // namespace vellomar
