#include "delivery/pacing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace vellomar {
namespace {

using namespace std::chrono_literals;
using Limits = Pacer::Limits;

const Pacer::WallTime t0 = std::chrono::system_clock::from_time_t(1'800'000'000);  // on a minute

// Takes `count` messages of `recipients` each at `at`, and says how many went.
int TakeMany(Pacer& pacer, const std::string& account, Limits limits, int count, int recipients, Pacer::WallTime at) {
  int taken = 0;
  for (int i = 0; i < count; ++i) taken += pacer.Take(account, limits, recipients, at) ? 0 : 1;
  return taken;
}

TEST(PacingTest, MessagesPerMinuteAndRecipientsPerDayHoldMailUntilThereIsRoom) {
  struct Step {
    std::string account;
    Limits limits;
    int recipients;
    Pacer::WallTime at;
    std::optional<Pacer::WallTime> want;
  };
  const Limits perMinute{30, 0}, perDay{0, 100};
  Pacer pacer("");
  ASSERT_EQ(TakeMany(pacer, "", perMinute, 30, 2, t0), 30);
  const Step steps[] = {
      {"", perMinute, 2, t0, t0 + 60s},           // the 31st waits for the first to leave the minute
      {"", perMinute, 2, t0 + 59s, t0 + 60s},
      {"other", perMinute, 2, t0, std::nullopt},  // accounts are counted apart
      {"day", perDay, 60, t0, std::nullopt},
      {"day", perDay, 40, t0 + 10min, std::nullopt},
      {"day", perDay, 1, t0 + 20min, t0 + 24h + 1min},  // counted by minute: until its minute's end
      {"day", perDay, 41, t0 + 24h + 1min, std::nullopt},
      {"day", perDay, 20, t0 + 24h + 2min, t0 + 24h + 11min},
      {"big", perDay, 150, t0, std::nullopt},  // more than a day allows goes alone into an empty day
      {"big", perDay, 1, t0 + 1h, t0 + 24h + 1min},
      {"both", {1, 5}, 5, t0, std::nullopt},
      {"both", {1, 5}, 1, t0 + 1s, t0 + 24h + 1min},  // the later of the two limits decides
      {"", {}, 1000, t0, std::nullopt},                // no limits: never held
      {"back", {1, 0}, 1, t0, std::nullopt},
      {"back", {1, 0}, 1, t0 - 1h, t0 - 1h + 60s},  // a clock set back an hour costs a minute, not the hour
  };
  for (const Step& s : steps) {
    auto got = pacer.Take(s.account, s.limits, s.recipients, s.at);
    EXPECT_EQ(got, s.want) << s.account << " at +" << (s.at - t0) / 1s << "s";
  }
  EXPECT_EQ(TakeMany(pacer, "", perMinute, 10, 2, t0 + 60s), 10);
}

TEST(PacingTest, CountsSurviveARestartAndADamagedFileStartsEmpty) {
  test::TempDir dir;
  const std::string file = dir.File("pacing.json");
  const Limits limits{30, 1000};
  {
    Pacer first(file);
    ASSERT_EQ(TakeMany(first, "m365", limits, 30, 10, t0), 30);
    EXPECT_TRUE(first.Take("plain", {}, 10, t0) == std::nullopt);
    EXPECT_TRUE(first.LastSave().ok());
  }
  Pacer second(file);
  EXPECT_EQ(second.Take("m365", limits, 1, t0 + 1s), t0 + 60s);
  EXPECT_EQ(second.Take("m365", {0, 1000}, 701, t0 + 1h), t0 + 24h + 1min);  // 300 of the day's 1000 used
  EXPECT_EQ(dir.Read("pacing.json").find("plain"), std::string::npos);

  const std::string damaged[] = {
      "",
      "{not json",
      "[1, 2]",
      R"({"accounts": {"m365": {"messages": "x", "recipients": [["a", 1], [1], 7]}}})",
      R"({"accounts": {"m365": {"messages": [1e300, -99999999999999999999, 18446744073709551615]}}})",
      R"({"accounts": {"m365": {"recipients": [[1800000000000, -5], [1800000000000, 99999999999999]]}}})",
  };
  for (const std::string& content : damaged) {
    dir.Write("pacing.json", content);
    Pacer pacer(file);
    EXPECT_EQ(TakeMany(pacer, "m365", limits, 30, 1, t0), 30) << content;
  }
}

TEST(PacingTest, AnUnlimitedAccountWritesNothingAndAFailedWriteIsReported) {
  test::TempDir dir;
  Pacer pacer(dir.File("pacing.json"));
  EXPECT_EQ(TakeMany(pacer, "", {}, 100, 50, t0), 100);
  EXPECT_FALSE(dir.Exists("pacing.json"));
  Pacer homeless(dir.File("missing/pacing.json"));
  EXPECT_EQ(TakeMany(homeless, "", {1, 0}, 2, 1, t0), 1);  // still paced in memory
  EXPECT_EQ(homeless.LastSave().error(), ENOENT);
}

TEST(PacingTest, ThreadsTakingAtOnceNeverPassTheLimit) {
  Pacer pacer("");
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&] { taken += TakeMany(pacer, "", {30, 0}, 20, 1, t0); });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(taken.load(), 30);
}

}  // namespace
}  // namespace vellomar
