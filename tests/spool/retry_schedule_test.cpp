#include "spool/retry_schedule.h"

#include <gtest/gtest.h>

#include <set>

#include "spool/queue_list.h"
#include "support/temp_dir.h"

namespace vellomar {
namespace {

using std::chrono::minutes;

// Clocks the test moves by hand: no test waits for real time to pass.
class ManualClock {
 public:
  RetrySchedule::TimePoint now = RetrySchedule::TimePoint(std::chrono::hours(1000));
  RetrySchedule::WallTime wall = std::chrono::system_clock::from_time_t(1'800'000'000);
  RetrySchedule::Clock Source() {
    return [this] { return now; };
  }
  RetrySchedule::WallClock WallSource() {
    return [this] { return wall; };
  }
};

TEST(RetryScheduleTest, IntervalsDoubleFromAMinuteUpToAnHour) {
  const std::pair<int, int> cases[] = {{1, 1}, {2, 2}, {3, 4}, {4, 8}, {5, 16}, {6, 32}, {7, 60}, {8, 60}, {50, 60}};
  for (auto [tries, want] : cases) EXPECT_EQ(RetrySchedule::Interval(tries), minutes(want)) << tries << " tries";
}

TEST(RetryScheduleTest, AFileIsDueOnlyOnceItsIntervalHasPassed) {
  ManualClock clock;
  RetrySchedule schedule;
  schedule.SetClock(clock.Source());
  EXPECT_TRUE(schedule.IsDue("a.tml")) << "unknown: due at once";
  EXPECT_FALSE(schedule.EarliestPending());
  for (int tries = 1; tries <= 8; ++tries) {
    schedule.RecordTry("a.tml");
    auto wait = RetrySchedule::Interval(tries);
    EXPECT_FALSE(schedule.IsDue("A.TML")) << "names compare without case";
    EXPECT_EQ(schedule.EarliestPending(), clock.now + wait);
    clock.now += wait - std::chrono::seconds(1);
    EXPECT_FALSE(schedule.IsDue("a.tml")) << "never sooner, try " << tries;
    clock.now += std::chrono::seconds(1);
    EXPECT_TRUE(schedule.IsDue("a.tml")) << "try " << tries;
    EXPECT_FALSE(schedule.EarliestPending());
  }
  EXPECT_EQ(schedule.Find("a.tml")->tries, 8);

  // The wall clock set back an hour after a try: the retry still comes a minute later, and
  // it is shown at the wall time that stands for it.
  schedule.SetWallClock(clock.WallSource());
  schedule.RecordTry("b.tml");
  clock.wall -= std::chrono::hours(1);
  EXPECT_EQ(schedule.WallTimeOf(schedule.Find("b.tml")->nextTry), clock.wall + minutes(1));
  clock.now += minutes(1);
  EXPECT_TRUE(schedule.IsDue("b.tml"));
}

TEST(RetryScheduleTest, DeliverNowForgetAndTheErrorsKeptPerRecipient) {
  ManualClock clock;
  RetrySchedule schedule;
  schedule.SetClock(clock.Source());
  auto firstSeen = schedule.FirstSeen("a.tml");
  EXPECT_EQ(firstSeen, clock.now);
  schedule.RecordTry("a.tml");
  schedule.RecordTry("b.tml");
  clock.now += std::chrono::seconds(30);
  EXPECT_EQ(schedule.FirstSeen("a.tml"), firstSeen) << "noted once";
  schedule.NoteError("a.tml", "<x@y>", "can't connect to relay");
  schedule.NoteError("a.tml", "<x@y>", "no reply from relay");
  schedule.NoteError("a.tml", "<z@y>", "421 busy");
  EXPECT_EQ(schedule.LastError("a.tml", "<x@y>"), "no reply from relay");
  EXPECT_EQ(schedule.LastError("a.tml", "<z@y>"), "421 busy");
  EXPECT_EQ(schedule.LastError("b.tml", "<x@y>"), "");
  EXPECT_FALSE(schedule.IsDue("b.tml"));
  schedule.MakeAllDue();
  EXPECT_TRUE(schedule.IsDue("a.tml"));
  EXPECT_TRUE(schedule.IsDue("b.tml"));
  schedule.RecordTry("a.tml");
  EXPECT_EQ(schedule.Find("a.tml")->nextTry, clock.now + minutes(2)) << "the tries still count after a deliver-now";
  schedule.Forget("A.tml");
  EXPECT_FALSE(schedule.Find("a.tml"));
  EXPECT_TRUE(schedule.IsDue("a.tml"));
}

class QueueScheduleTest : public ::testing::Test {
 protected:
  QueueScheduleTest() { list.SetScheduleClock(clock.Source()); }
  std::set<std::string> TakeAll() {
    std::set<std::string> taken;
    for (std::string name; list.TakeNextFile(name);) taken.insert(name);
    return taken;
  }
  // A dispatcher run: the held names are let go and the folder listed afresh.
  std::set<std::string> NewRun() {
    list.Clear(false);
    list.Rescan();
    return TakeAll();
  }
  const test::TempDir& dir() const { return dir_; }

  test::TempDir dir_;
  ManualClock clock;
  QueueList list{dir_.path()};
};

TEST_F(QueueScheduleTest, ARunPassesOverFilesNotYetDueWithoutListingAgain) {
  for (const char* name : {"1.tml", "2.tml", "3.tml"}) dir().Write(name, "x");
  EXPECT_EQ(NewRun(), (std::set<std::string>{"1.tml", "2.tml", "3.tml"}));
  list.RecordTry("1.tml");  // deferred
  list.RecordTry("2.tml");
  EXPECT_EQ(NewRun(), (std::set<std::string>{"3.tml"})) << "the two deferred files keep waiting";
  EXPECT_FALSE(list.Contains("1.tml")) << "passed over, not taken";
  // Passing over them did not spend the listing: a file nobody announced is still unseen.
  dir().Write("4.tml", "x");
  std::string name;
  EXPECT_FALSE(list.TakeNextFile(name));
  // A received message is announced and taken; the deferred files stay passed over.
  list.Remove("3.tml");
  EXPECT_EQ(TakeAll(), (std::set<std::string>{"3.tml", "4.tml"}));
  EXPECT_EQ(NewRun(), (std::set<std::string>{"3.tml", "4.tml"}));
  clock.now += minutes(1);
  EXPECT_EQ(NewRun(), (std::set<std::string>{"1.tml", "2.tml", "3.tml", "4.tml"})) << "due after a minute";
}

TEST_F(QueueScheduleTest, DeliverNowMakesEveryFileDueAndFlushIgnoresTheSchedule) {
  for (const char* name : {"1.tml", "2.tml"}) {
    dir().Write(name, "x");
    list.RecordTry(name);
  }
  EXPECT_EQ(NewRun(), (std::set<std::string>{}));
  list.MakeAllDue();
  EXPECT_EQ(NewRun(), (std::set<std::string>{"1.tml", "2.tml"}));
  list.RecordTry("1.tml");
  list.RecordTry("2.tml");
  list.Clear(false);
  EXPECT_TRUE(list.Flush());
  EXPECT_FALSE(dir().Exists("1.tml")) << "a file waiting for its time is still waiting";
  EXPECT_FALSE(dir().Exists("2.tml"));
  EXPECT_FALSE(list.ScheduleOf("1.tml")) << "nothing is kept of a deleted file";
  dir().Write("1.tml", "a new message under the old name");
  EXPECT_EQ(NewRun(), (std::set<std::string>{"1.tml"}));
}

TEST_F(QueueScheduleTest, ADeliveredFileIsForgotten) {
  dir().Write("1.tml", "x");
  list.RecordTry("1.tml");
  list.MakeAllDue();
  ASSERT_EQ(NewRun(), (std::set<std::string>{"1.tml"}));
  EXPECT_TRUE(list.Discard("1.tml", true));
  EXPECT_FALSE(list.ScheduleOf("1.tml"));
}

}  // namespace
}  // namespace vellomar
