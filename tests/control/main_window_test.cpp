#include "control/main_window.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <thread>
#include <vector>

#include "control/control_ids.h"
#include "common/app_directory.h"
#include "control/memory_controls.h"
#include "control/registry_key.h"
#include "platform/thread_executor.h"
#include "platform/thread_tracker.h"
#include "spool/relay_services.h"
#include "support/temp_dir.h"

namespace vellomar {
namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  ~MainWindowTest() override { windowThread.Stop(); }

  void Register(WorkerRegistry& registry, const std::string& name) {
    registry.AddWorker(nullptr, name);
  }
  // Reads the controls on the window's thread, after everything posted before.
  std::string TextOf(int id) {
    return windowThread.InvokeFor<std::string>([this, id] { return controls.Text(id); }).value_or("<stopped>");
  }

  Relay& relay() { return mainWindow.relay(); }
  int ListCount(int listId) {
    return windowThread.InvokeFor<int>([this, listId] { return controls.ListCount(listId); }).value_or(-1);
  }

  test::TempDir dir;
  MemoryControls controls;
  StopFlag stop;
  ThreadExecutor windowThread{stop};
  MainWindow mainWindow{windowThread, controls, stop, dir.path()};
};

TEST_F(MainWindowTest, OneProgramPerFolderUntilTheHolderIsGone) {
  ::setenv("VELLOMAR_REGISTRY", dir.File("store").c_str(), 1);
  dir.Write("error", "template");
  SettingsKey().Write("SMTP", "relay.example");
  auto first = std::make_unique<MainWindow>(windowThread, controls, stop, dir.path());
  ASSERT_TRUE(first->CheckPrerequisites());
  EXPECT_TRUE(dir.Exists("vellomar.lock"));
  const std::string store = dir.Read("store/HKEY_LOCAL_MACHINE.ini");
  const std::string log = dir.Read("logfile");

  for (int attempt = 0; attempt < 2; ++attempt) {
    MemoryControls otherControls;
    MainWindow other(windowThread, otherControls, stop, dir.path());
    EXPECT_FALSE(other.CheckPrerequisites());
    ASSERT_EQ(otherControls.Messages().size(), 1u) << "only the one message, no other check ran";
    EXPECT_EQ(otherControls.Messages()[0].text, "Vellomar is already running from this folder.");
    EXPECT_EQ(otherControls.Messages()[0].caption, "Vellomar");
  }
  EXPECT_EQ(dir.Read("store/HKEY_LOCAL_MACHINE.ini"), store);
  EXPECT_EQ(dir.Read("logfile"), log);

  {
    // Another folder is another program's.
    test::TempDir elsewhere;
    elsewhere.Write("error", "template");
    MemoryControls otherControls;
    MainWindow other(windowThread, otherControls, stop, elsewhere.path());
    EXPECT_TRUE(other.CheckPrerequisites());
  }

  first.reset();
  MemoryControls laterControls;
  MainWindow later(windowThread, laterControls, stop, dir.path());
  EXPECT_TRUE(later.CheckPrerequisites()) << "the lock goes with the program that held it";
  EXPECT_TRUE(laterControls.Messages().empty());
}

TEST_F(MainWindowTest, RefreshWritesStatisticsAndCountsTheListsAsLastRebuilt) {
  relay().counters.receivedAll = 3;
  relay().counters.receivedOk = 2;
  relay().counters.sentAll = 5;
  relay().counters.sentOk = 4;
  Register(relay().incoming, "in.tml");
  Register(relay().outgoing, "out1.tml");
  Register(relay().outgoing, "out2.tml");

  mainWindow.RefreshStatistics();
  EXPECT_EQ(TextOf(kIncomingConnectionsText), "Incoming connections : 0") << "counted before the rebuild";
  EXPECT_EQ(TextOf(kOutgoingConnectionsText), "Outgoing connections : 0");
  EXPECT_EQ(TextOf(kReceivedText), "E-mails received [ok/all] : 2 / 3");
  EXPECT_EQ(TextOf(kSentText), "E-mails sent [ok/all] : 4 / 5");
  EXPECT_EQ(controls.ListItems(kOutgoingList), (std::vector<std::string>{"out2.tml", "out1.tml"}));
  EXPECT_EQ(ListCount(kIncomingList), 1);
  EXPECT_EQ(ListCount(kOutgoingList), 2);

  mainWindow.RefreshStatistics();
  EXPECT_EQ(TextOf(kIncomingConnectionsText), "Incoming connections : 1");
  EXPECT_EQ(TextOf(kOutgoingConnectionsText), "Outgoing connections : 2");
}

TEST_F(MainWindowTest, CountSeenRightAfterRefreshIncludesTheWorkerJustRegistered) {
  std::thread dispatcher([this] {
    for (int i = 0; i < 20; ++i) {
      Register(relay().outgoing, std::to_string(i) + ".tml");
      mainWindow.RefreshStatistics();
      EXPECT_EQ(ListCount(kOutgoingList), i + 1);
    }
  });
  dispatcher.join();
}

TEST_F(MainWindowTest, InfoPanelsShowTheSelectedSummaryInTheirOwnFormats) {
  Register(relay().incoming, "in.tml");
  Register(relay().outgoing, "out.tml");
  mainWindow.RefreshStatistics();
  windowThread.Invoke([this] {
    controls.ListSelect(kIncomingList, 0);
    controls.ListSelect(kOutgoingList, 0);
  });
  mainWindow.RefreshStatistics();
  EXPECT_EQ(TextOf(kIncomingInfoPanel), "Mail from Unknown\r\n0 recipient(s)\r\nSubject : Unknown\r\nSize : 0 bytes");
  EXPECT_EQ(TextOf(kOutgoingInfoPanel), "Mail from Unknown0 recipient(s)\r\nSubject : UnknownSize : 0 bytes");

  MailSummary summary;
  summary.sender = "<ann@example.org>\r\n";
  summary.recipientCount = 2;
  summary.subject = "Hello\r\n";
  summary.size = 1234;
  {
    relay().outgoing.UpdateSummary("OUT.tml", summary);
  }
  windowThread.Invoke([this] { mainWindow.ShowOutgoingInfo(); });
  EXPECT_EQ(TextOf(kOutgoingInfoPanel),
            "Mail from <ann@example.org>\r\n2 recipient(s)\r\nSubject : Hello\r\nSize : 1234 bytes");

  // An entry that has left the registry leaves the panel as it was.
  {
    relay().outgoing.RemoveWorker("out.tml");
  }
  windowThread.Invoke([this] { mainWindow.ShowOutgoingInfo(); });
  EXPECT_EQ(TextOf(kOutgoingInfoPanel),
            "Mail from <ann@example.org>\r\n2 recipient(s)\r\nSubject : Hello\r\nSize : 1234 bytes");
}

TEST_F(MainWindowTest, ClientImageWindowAndNotificationsChangeOnTheWindowThread) {
  // The picture is posted, not waited for: the window's thread shows it in its turn, the last
  // one set last.
  mainWindow.SetClientImage(true);
  ASSERT_TRUE(windowThread.Invoke([] {}));
  EXPECT_EQ(controls.ButtonBitmap(kClientStateButton), kRunningBitmap);
  mainWindow.SetClientImage(false);
  mainWindow.SetClientImage(true);
  mainWindow.SetClientImage(false);
  ASSERT_TRUE(windowThread.Invoke([] {}));
  EXPECT_EQ(controls.ButtonBitmap(kClientStateButton), kStoppedBitmap);
  mainWindow.HideWindow();
  EXPECT_FALSE(controls.WindowVisible());
  for (int i = 0; i < 50; ++i) mainWindow.AppendNotification(std::to_string(i) + "\r\n", "");
  std::string want;
  for (int i = 0; i < 50; ++i) want += std::to_string(i) + "\r\n";
  EXPECT_EQ(TextOf(kNotificationsBox), want);
}

TEST_F(MainWindowTest, RequestedRefreshesComeAtMostOncePerIntervalAndShowTheLastCounts) {
  struct CountingControls : MemoryControls {
    void SetText(int id, const std::string& text) override {
      if (id == kReceivedText) ++refreshes;
      MemoryControls::SetText(id, text);
    }
    std::atomic<int> refreshes{0};
  } counting;
  test::TempDir otherDir;
  StopFlag otherStop;
  ThreadExecutor otherThread{otherStop};
  MainWindow window{otherThread, counting, otherStop, otherDir.path()};

  // A relay thread's burst: every message asks for a refresh.
  auto start = std::chrono::steady_clock::now();
  uint64_t requests = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds{300}) {
    window.relay().counters.receivedOk++;
    window.RequestRefresh();
    ++requests;
  }
  std::string want = "E-mails received [ok/all] : " + std::to_string(requests) + " / 0";
  auto shown = [&] { return otherThread.InvokeFor<std::string>([&] { return counting.Text(kReceivedText); }); };
  for (int i = 0; i < 300 && shown() != want; ++i) std::this_thread::sleep_for(std::chrono::milliseconds{10});
  EXPECT_EQ(shown(), want);
  // The first at once, then one per 100 ms until the last count is shown.
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LE(counting.refreshes.load(), elapsed / std::chrono::milliseconds{100} + 1) << requests << " requests";
  otherThread.Stop();
}

TEST_F(MainWindowTest, AfterStopNothingWaitsForTheWindow) {
  stop.Set();
  Register(relay().incoming, "late.tml");
  mainWindow.RefreshStatistics();
  mainWindow.SetClientImage(true);
  windowThread.Stop();
  EXPECT_TRUE(controls.ListItems(kIncomingList).empty());
  EXPECT_EQ(controls.ButtonBitmap(kClientStateButton), 0);
}

TEST_F(MainWindowTest, RefreshesFromManyThreadsWhileRegistriesChange) {
  StopFlag local;
  ThreadTracker tracker(local);
  for (int t = 0; t < 4; ++t) {
    tracker.Start([this, t](ThreadHandle&) {
      for (int i = 0; i < 50; ++i) {
        std::string name = std::to_string(t) + "_" + std::to_string(i) + ".tml";
        WorkerRegistry& registry = (t % 2) ? relay().incoming : relay().outgoing;
        Register(registry, name);
        mainWindow.RefreshStatistics();
        registry.RemoveWorker(name);
      }
      return 0;
    });
  }
  tracker.JoinAll();
  mainWindow.RefreshStatistics();
  EXPECT_EQ(ListCount(kIncomingList), 0);
  EXPECT_EQ(ListCount(kOutgoingList), 0);
}

}  // namespace
}  // namespace vellomar
