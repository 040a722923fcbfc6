#include "spool/worker_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "control/memory_controls.h"
#include "platform/thread_tracker.h"
#include "support/loopback.h"

namespace vellomar {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kList = 1008;
constexpr int kPanel = 1016;

class WorkerRegistryTest : public ::testing::Test {
 protected:
  void Refresh() { registry.FillListBox(controls, kList, kPanel); }
  std::vector<std::string> Shown() { return controls.ListItems(kList); }

  WorkerRegistry registry;
  MemoryControls controls;
};

TEST_F(WorkerRegistryTest, NewEntriesCarryTheDefaultSummaryAndListNewestFirst) {
  ASSERT_TRUE(registry.AddWorker(nullptr, "1.tml"));
  ASSERT_TRUE(registry.AddWorker(nullptr, "2.tml"));
  MailSummary summary;
  ASSERT_TRUE(registry.GetSummary("1.tml", summary));
  EXPECT_EQ(summary.sender, "Unknown");
  EXPECT_EQ(summary.name, "1.tml");
  EXPECT_EQ(summary.recipientCount, 0);
  EXPECT_EQ(summary.subject, "Unknown");
  EXPECT_EQ(summary.size, 0);
  Refresh();
  EXPECT_EQ(Shown(), (std::vector<std::string>{"2.tml", "1.tml"}));
  EXPECT_FALSE(registry.changed());
}

TEST_F(WorkerRegistryTest, SummariesAreFoundIgnoringCaseButRemovedOnlyExactly) {
  registry.AddWorker(nullptr, "953.tml");
  MailSummary update;
  update.sender = "<ann>";
  update.name = "ignored.tml";
  update.recipientCount = 2;
  update.subject = "Hello\r\n";
  update.size = 321;
  Refresh();
  registry.UpdateSummary("953.TML", update);
  EXPECT_FALSE(registry.changed()) << "the names shown did not change";
  MailSummary got;
  ASSERT_TRUE(registry.GetSummary("953.Tml", got));
  EXPECT_EQ(got.name, "953.tml");
  EXPECT_EQ(got.sender, "<ann>");
  EXPECT_EQ(got.recipientCount, 2);
  EXPECT_EQ(got.subject, "Hello\r\n");
  EXPECT_EQ(got.size, 321);

  MailSummary untouched;
  untouched.size = 7;
  EXPECT_FALSE(registry.GetSummary("nothing.tml", untouched));
  EXPECT_EQ(untouched.size, 7);
  registry.UpdateSummary("nothing.tml", update);  // no entry, no effect

  EXPECT_TRUE(registry.RemoveWorker("953.TML"));
  EXPECT_EQ(registry.size(), 1u);
  EXPECT_TRUE(registry.RemoveWorker("953.tml"));
  EXPECT_EQ(registry.size(), 0u);
  Refresh();
  EXPECT_FALSE(registry.RemoveWorker("953.tml"));
  EXPECT_FALSE(registry.changed()) << "removing from an empty registry changes nothing";
}

TEST_F(WorkerRegistryTest, RefreshKeepsTheSelectionWhileListedAndBlanksThePanelWithoutOne) {
  registry.AddWorker(nullptr, "a.tml");
  registry.AddWorker(nullptr, "b.tml");
  registry.AddWorker(nullptr, "c.tml");
  Refresh();  // c, b, a
  controls.ListSelect(kList, 1);
  controls.SetText(kPanel, "Mail from b");

  registry.RemoveWorker("a.tml");
  Refresh();
  EXPECT_EQ(controls.ListSelectedText(kList), "b.tml");
  EXPECT_EQ(controls.Text(kPanel), "Mail from b") << "a kept selection leaves the panel alone";

  registry.RemoveWorker("b.tml");
  Refresh();
  EXPECT_EQ(controls.ListSelection(kList), -1);
  EXPECT_EQ(controls.Text(kPanel), "Mail from b") << "the panel keeps its last text once";
  registry.AddWorker(nullptr, "d.tml");
  Refresh();
  EXPECT_EQ(controls.Text(kPanel), "") << "with nothing selected the panel is blanked";

  // Unchanged registry: nothing is rebuilt, not even the panel.
  controls.SetText(kPanel, "left alone");
  Refresh();
  EXPECT_EQ(controls.Text(kPanel), "left alone");
}

TEST_F(WorkerRegistryTest, SelectionFollowsANameInOtherCase) {
  registry.AddWorker(nullptr, "x.tml");
  Refresh();
  controls.ListClear(kList);
  controls.ListAppend(kList, "X.TML");
  controls.ListSelect(kList, 0);
  registry.RenameWorker("x.tml", "x.tml");  // any change makes the list be rebuilt
  Refresh();
  EXPECT_EQ(controls.ListSelectedText(kList), "x.tml");
}

TEST_F(WorkerRegistryTest, TerminateAllOnAnEmptyRegistryEmptiesTheListBox) {
  controls.ListAppend(kList, "old.tml");
  Refresh();
  registry.TerminateAll();
  EXPECT_TRUE(registry.changed());
  Refresh();
  EXPECT_TRUE(Shown().empty());
}

TEST_F(WorkerRegistryTest, TerminateAllLetsQuickThreadsEndAndCancelsBlockedOnes) {
  StopFlag stop;
  ThreadTracker tracker(stop);
  auto blocked = test::ConnectLoopback();
  std::atomic<bool> watching{false};
  std::atomic<bool> filled{false};
  // A thread that runs on into TerminateAll, then ends by itself within its 1000 ms after
  // trying to leave the registry, as a session finishing during shutdown would.
  auto quick = tracker.Start([&](ThreadHandle&) {
    while (!filled) std::this_thread::yield();
    for (;;) {
      {
        if (registry.size() == 0) {
          EXPECT_FALSE(registry.RemoveWorker("quick.tml"));
          return 1;
        }
      }
      std::this_thread::yield();
    }
  });
  // A thread blocked on a socket that never delivers, as a session waiting for a client.
  auto stuck = tracker.Start([&](ThreadHandle&) {
    SocketWatch watch(blocked.server.get());
    watching = true;
    return test::WaitReadable(blocked.server.get(), 60000) ? 2 : 3;
  });
  ASSERT_NE(quick, nullptr);
  ASSERT_NE(stuck, nullptr);
  {
    registry.AddWorker(quick, "quick.tml");
    registry.AddWorker(stuck, "stuck.tml");
    registry.AddWorker(nullptr, "threadless.tml");
  }
  filled = true;
  while (!watching) std::this_thread::yield();
  registry.TerminateAll();
  EXPECT_EQ(registry.size(), 0u);
  EXPECT_FALSE(quick->IsRunning());
  EXPECT_FALSE(quick->IsCancelled()) << "a thread that ends in time is not cancelled";
  EXPECT_EQ(quick->ExitCode(), 1);
  EXPECT_FALSE(stuck->IsRunning());
  EXPECT_TRUE(stuck->IsCancelled());
  EXPECT_EQ(stuck->ExitCode(), 2) << "the cancel woke its socket wait";
}

}  // namespace
}  // namespace vellomar
