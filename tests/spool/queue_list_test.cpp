#include "spool/queue_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "platform/local_clock.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"

namespace vellomar {
namespace {

class QueueListTest : public ::testing::Test {
 protected:
  void At(int hour, int minute, int second) { clock.Set(test::LocalTimeOfDay(hour, minute, second)); }
  const test::TempDir& dir() const { return dir_; }

  test::TempDir dir_;
  test::TestClock clock;
  QueueList list{dir_.path(), clock.Source()};
};

TEST_F(QueueListTest, NamesMadeAtTheSameSecondCountFromTheBareStem) {
  At(9, 5, 3);
  std::string first = list.NewSpoolName(false);
  EXPECT_EQ(first, "953.tml");
  dir().Write(first, "x");
  std::string second = list.NewSpoolName(false);
  EXPECT_EQ(second, "953_0.tml");
  dir().Write(second, "x");
  EXPECT_EQ(list.NewSpoolName(false), "953_1.tml");
  EXPECT_EQ(list.size(), 0u) << "names made without reserve are not listed";
}

TEST_F(QueueListTest, ReservedNamesAndLeftoverFilesAreBothTaken) {
  At(9, 5, 3);
  dir().Write("953.tml", "left from an earlier run");
  EXPECT_EQ(list.NewSpoolName(true), "953_0.tml");
  EXPECT_TRUE(list.Contains("953_0.tml"));
  EXPECT_EQ(list.NewSpoolName(true), "953_1.tml");
  // A notice being written under its bare stem keeps the full name from being given out.
  dir().Write("953_2", "half a notice");
  EXPECT_EQ(list.NewSpoolName(false), "953_3.tml");
}

TEST_F(QueueListTest, DifferentTimesWithTheSameDigitsGetDifferentNames) {
  At(1, 23, 45);
  EXPECT_EQ(list.NewSpoolName(true), "12345.tml");
  At(12, 34, 5);
  EXPECT_EQ(list.NewSpoolName(true), "12345_0.tml");
  At(23, 59, 59);
  EXPECT_EQ(list.NewSpoolName(true), "235959.tml");
}

TEST_F(QueueListTest, ContainsIgnoresCaseRemoveDoesNot) {
  ASSERT_TRUE(list.Add("953.tml"));
  EXPECT_TRUE(list.Contains("953.TML"));
  EXPECT_TRUE(list.Remove("953.TML")) << "true on a non-empty list, matched or not";
  EXPECT_TRUE(list.Contains("953.tml"));
  EXPECT_TRUE(list.Remove("953.tml"));
  EXPECT_FALSE(list.Contains("953.tml"));
  EXPECT_FALSE(list.Remove("953.tml")) << "false on an empty list";
}

TEST_F(QueueListTest, RemoveTakesAMatchingFrontEntryAloneElseEveryMatch) {
  list.Add("a.tml");
  list.Add("b.tml");
  list.Add("a.tml");  // a, b, a
  EXPECT_TRUE(list.Remove("a.tml"));
  EXPECT_EQ(list.size(), 2u);  // b, a
  EXPECT_TRUE(list.Contains("a.tml"));

  QueueList other{dir_.path()};
  other.Add("a.tml");
  other.Add("b.tml");
  other.Add("a.tml");
  other.Add("c.tml");  // c, a, b, a
  EXPECT_TRUE(other.Remove("a.tml"));
  EXPECT_EQ(other.size(), 2u);  // c, b
  EXPECT_FALSE(other.Contains("a.tml"));
}

TEST_F(QueueListTest, DiscardDeletesWhenAskedAndAlwaysReleasesTheName) {
  dir().Write("kept.tml", "x");
  dir().Write("gone.tml", "x");
  list.Add("kept.tml");
  list.Add("gone.tml");
  EXPECT_TRUE(list.Discard("kept.tml", false));
  EXPECT_TRUE(dir().Exists("kept.tml"));
  EXPECT_FALSE(list.Contains("kept.tml"));
  EXPECT_TRUE(list.Discard("gone.tml", true));
  EXPECT_FALSE(dir().Exists("gone.tml"));
  EXPECT_EQ(list.size(), 0u);

  // Not listed: the file still goes, and the result follows Remove on the list.
  list.Add("other.tml");
  dir().Write("stray.tml", "x");
  EXPECT_TRUE(list.Discard("stray.tml", true));
  EXPECT_FALSE(dir().Exists("stray.tml"));
  // A deletion that fails reports false, and the name is released all the same.
  list.Add("missing.tml");
  EXPECT_FALSE(list.Discard("missing.tml", true));
  EXPECT_FALSE(list.Contains("missing.tml"));
}

TEST_F(QueueListTest, ClearDeletesOnlyWhenAskedAndKeepsRunningReservations) {
  At(9, 5, 3);
  for (const char* name : {"1.tml", "2.tml", "3.tml"}) {
    dir().Write(name, "x");
    list.Add(name);
  }
  list.Clear(false);
  EXPECT_EQ(list.size(), 0u);
  for (const char* name : {"1.tml", "2.tml", "3.tml"}) EXPECT_TRUE(dir().Exists(name)) << name;

  for (const char* name : {"1.tml", "2.tml", "3.tml"}) list.Add(name);
  std::string reserved = list.NewSpoolName(true);
  dir().Write(reserved, "being received");
  list.Clear(true);
  for (const char* name : {"1.tml", "2.tml", "3.tml"}) EXPECT_FALSE(dir().Exists(name)) << name;
  EXPECT_TRUE(dir().Exists(reserved));
  EXPECT_TRUE(list.Contains(reserved));
  EXPECT_EQ(list.size(), 1u);
  // The session's own Discard releases the reservation.
  EXPECT_TRUE(list.Discard(reserved, false));
  EXPECT_EQ(list.size(), 0u);
}

TEST_F(QueueListTest, ClearCompletesWhenAFileCannotBeDeleted) {
  ASSERT_EQ(::mkdir(dir().File("stuck.tml").c_str(), 0755), 0);  // unlink() refuses a folder
  dir().Write("plain.tml", "x");
  list.Add("stuck.tml");
  list.Add("plain.tml");
  list.Clear(true);
  EXPECT_EQ(list.size(), 0u);
  EXPECT_FALSE(dir().Exists("plain.tml"));
  EXPECT_TRUE(dir().Exists("stuck.tml"));
}

TEST_F(QueueListTest, TakeNextFileTakesEachWaitingSpoolFileOnce) {
  std::string name = "stale";
  EXPECT_FALSE(list.TakeNextFile(name)) << "empty directory";
  EXPECT_EQ(name, "");

  ASSERT_EQ(::mkdir(dir().File("folder.tml").c_str(), 0755), 0);
  dir().Write("note.txt", "not a spool file");
  dir().Write("953", "a notice being written");
  dir().Write("a.tml", "x");
  dir().Write("b.TML", "x");
  list.Rescan();  // put there behind the list's back: seen at the next run's listing
  std::set<std::string> taken;
  while (list.TakeNextFile(name)) {
    EXPECT_TRUE(taken.insert(name).second) << name << " taken twice";
    EXPECT_TRUE(list.Contains(name));
  }
  EXPECT_EQ(taken, (std::set<std::string>{"a.tml", "b.TML"}));
  EXPECT_FALSE(list.TakeNextFile(name)) << "every spool file is listed";
  list.Discard("a.tml", false);
  ASSERT_TRUE(list.TakeNextFile(name));
  EXPECT_EQ(name, "a.tml");
}

// The folder is listed once and walked; a name released meanwhile makes the next take list
// it again, a file put there by someone else waits for the next run's Rescan.
TEST_F(QueueListTest, ARunListsTheFolderOnceAndSeesReleasedNames) {
  for (const char* name : {"1.tml", "2.tml"}) dir().Write(name, "x");
  std::string first, second, name;
  ASSERT_TRUE(list.TakeNextFile(first));
  dir().Write("3.tml", "x");
  ASSERT_TRUE(list.TakeNextFile(second));
  EXPECT_FALSE(list.TakeNextFile(name)) << "not listed again for a file nobody announced";
  list.Discard(first, false);
  ASSERT_TRUE(list.TakeNextFile(name)) << "a released name is waiting again";
  std::set<std::string> seen{name};
  ASSERT_TRUE(list.TakeNextFile(name));
  seen.insert(name);
  EXPECT_EQ(seen, (std::set<std::string>{first, "3.tml"}));
  EXPECT_FALSE(list.TakeNextFile(name));
  dir().Write("4.tml", "x");
  list.Rescan();
  ASSERT_TRUE(list.TakeNextFile(name));
  EXPECT_EQ(name, "4.tml");
}

TEST_F(QueueListTest, FlushDeletesWaitingFilesMarksTakenOnesAndSparesLaterOnes) {
  At(9, 5, 3);
  for (const char* name : {"waiting.tml", "delivering.tml", "held.tml"}) dir().Write(name, "x");
  list.Add("delivering.tml");
  list.Add("held.tml");
  std::string reserved = list.NewSpoolName(true);
  dir().Write(reserved, "being received");
  EXPECT_TRUE(list.Flush());
  EXPECT_FALSE(dir().Exists("waiting.tml"));
  EXPECT_TRUE(list.flushRequested());
  struct Case {
    std::string name;
    bool flushed;
  };
  for (const Case& c : {Case{"delivering.tml", true}, Case{"HELD.tml", true}, Case{reserved, false}}) {
    EXPECT_EQ(list.IsFlushed(c.name), c.flushed) << c.name;
  }
  // Stored after the Flush: the reception's file and a new one are taken unmarked.
  list.Discard(reserved, false);
  dir().Write("later.tml", "x");
  list.Rescan();
  std::string name;
  std::set<std::string> taken;
  while (list.TakeNextFile(name)) taken.insert(name);
  EXPECT_EQ(taken, (std::set<std::string>{reserved, "later.tml"}));
  for (const std::string& later : taken) EXPECT_FALSE(list.IsFlushed(later)) << later;
  // A marked name goes with its file, whatever its releaser asks; unmarked ones stay.
  EXPECT_TRUE(list.Discard("delivering.tml", false));
  EXPECT_FALSE(dir().Exists("delivering.tml"));
  list.Clear(false);
  EXPECT_FALSE(dir().Exists("held.tml"));
  EXPECT_TRUE(dir().Exists("later.tml"));
  EXPECT_TRUE(dir().Exists(reserved));
  EXPECT_FALSE(list.flushRequested()) << "no marked name is left";
}

// A reception reserves its name and writes its file while the dispatcher clears the list and
// takes files; the file being written must never be handed out.
TEST_F(QueueListTest, FileOfARunningReceptionIsNeverTakenEvenRightAfterAClear) {
  std::atomic<bool> done{false};
  std::atomic<int> leaked{0};
  std::set<std::string> sessionNames;
  std::mutex namesLock;
  std::thread sessions([&] {
    for (int i = 0; i < 200; ++i) {
      std::string name = list.NewSpoolName(true);
      {
        std::lock_guard<std::mutex> guard(namesLock);
        sessionNames.insert(name);
      }
      dir().Write(name, "HELO x\r\n");
      list.Discard(name, true);
    }
    done = true;
  });
  std::thread dispatcher([&] {
    while (!done) {
      list.Clear(false);
      std::string name;
      while (list.TakeNextFile(name)) {
        std::lock_guard<std::mutex> names(namesLock);
        if (sessionNames.count(name)) ++leaked;
      }
    }
  });
  sessions.join();
  dispatcher.join();
  EXPECT_EQ(leaked, 0);
}

}  // namespace
}  // namespace vellomar
