#include "control/main_window.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <climits>
#include <memory>
#include <thread>
#include <vector>

#include "common/flags.h"
#include "control/control_ids.h"
#include "common/app_directory.h"
#include "control/memory_controls.h"
#include "control/registry_key.h"
#include "platform/thread_executor.h"
#include "platform/thread_tracker.h"
#include "spool/spool_lists.h"
#include "support/program_state.h"

namespace vellomar {
namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  ~MainWindowTest() override { windowThread.Stop(); }

  void Register(WorkerRegistry& registry, const std::string& name) {
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.AddWorker(nullptr, name);
  }
  // Reads the controls on the window's thread, after everything posted before.
  std::string TextOf(int id) {
    return windowThread.InvokeFor<std::string>([this, id] { return controls.Text(id); }).value_or("<stopped>");
  }

  test::ProgramState state;
  MemoryControls controls;
  ThreadExecutor windowThread{stopRequested};
  ThreadTracker threads{stopRequested};
  MainWindow mainWindow{windowThread, controls, threads};
};

TEST_F(MainWindowTest, OneProgramPerFolderUntilTheHolderIsGone) {
  ::setenv("VELLOMAR_REGISTRY", state.appDir().File("store").c_str(), 1);
  state.appDir().Write("error", "template");
  SettingsKey().Write("SMTP", "relay.example");
  auto first = std::make_unique<MainWindow>(windowThread, controls, threads);
  ASSERT_TRUE(first->CheckPrerequisites());
  EXPECT_TRUE(state.appDir().Exists("vellomar.lock"));
  const std::string store = state.appDir().Read("store/HKEY_LOCAL_MACHINE.ini");
  const std::string log = state.appDir().Read("logfile");

  for (int attempt = 0; attempt < 2; ++attempt) {
    MemoryControls otherControls;
    MainWindow other(windowThread, otherControls, threads);
    EXPECT_FALSE(other.CheckPrerequisites());
    ASSERT_EQ(otherControls.Messages().size(), 1u) << "only the one message, no other check ran";
    EXPECT_EQ(otherControls.Messages()[0].text, "Vellomar is already running from this folder.");
    EXPECT_EQ(otherControls.Messages()[0].caption, "Vellomar");
  }
  EXPECT_EQ(state.appDir().Read("store/HKEY_LOCAL_MACHINE.ini"), store);
  EXPECT_EQ(state.appDir().Read("logfile"), log);

  {
    // Another folder is another program's.
    test::TempDir elsewhere;
    elsewhere.Write("error", "template");
    SetAppDirectory(elsewhere.path());
    MemoryControls otherControls;
    MainWindow other(windowThread, otherControls, threads);
    EXPECT_TRUE(other.CheckPrerequisites());
    SetAppDirectory(state.appDir().path());
  }

  first.reset();
  MemoryControls laterControls;
  MainWindow later(windowThread, laterControls, threads);
  EXPECT_TRUE(later.CheckPrerequisites()) << "the lock goes with the program that held it";
  EXPECT_TRUE(laterControls.Messages().empty());
}

TEST_F(MainWindowTest, RefreshWritesStatisticsAndCountsTheListsAsLastRebuilt) {
  mainWindow.receivedAll = 3;
  mainWindow.receivedOk = 2;
  mainWindow.sentAll = 5;
  mainWindow.sentOk = 4;
  Register(IncomingRegistry(), "in.tml");
  Register(OutgoingRegistry(), "out1.tml");
  Register(OutgoingRegistry(), "out2.tml");

  mainWindow.RefreshStatistics();
  EXPECT_EQ(TextOf(kIncomingConnectionsText), "Incoming connections : 0") << "counted before the rebuild";
  EXPECT_EQ(TextOf(kOutgoingConnectionsText), "Outgoing connections : 0");
  EXPECT_EQ(TextOf(kReceivedText), "E-mails received [ok/all] : 2 / 3");
  EXPECT_EQ(TextOf(kSentText), "E-mails sent [ok/all] : 4 / 5");
  EXPECT_EQ(controls.ListItems(kOutgoingList), (std::vector<std::string>{"out2.tml", "out1.tml"}));
  EXPECT_EQ(mainWindow.IncomingCount(), 1);
  EXPECT_EQ(mainWindow.OutgoingCount(), 2);

  mainWindow.RefreshStatistics();
  EXPECT_EQ(TextOf(kIncomingConnectionsText), "Incoming connections : 1");
  EXPECT_EQ(TextOf(kOutgoingConnectionsText), "Outgoing connections : 2");
}

TEST_F(MainWindowTest, CountSeenRightAfterRefreshIncludesTheWorkerJustRegistered) {
  std::thread dispatcher([this] {
    for (int i = 0; i < 20; ++i) {
      Register(OutgoingRegistry(), std::to_string(i) + ".tml");
      mainWindow.RefreshStatistics();
      EXPECT_EQ(mainWindow.OutgoingCount(), i + 1);
    }
  });
  dispatcher.join();
}

TEST_F(MainWindowTest, InfoPanelsShowTheSelectedSummaryInTheirOwnFormats) {
  Register(IncomingRegistry(), "in.tml");
  Register(OutgoingRegistry(), "out.tml");
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
    std::lock_guard<std::mutex> guard(OutgoingLock());
    OutgoingRegistry().UpdateSummary("OUT.tml", summary);
  }
  windowThread.Invoke([this] { mainWindow.ShowOutgoingInfo(); });
  EXPECT_EQ(TextOf(kOutgoingInfoPanel),
            "Mail from <ann@example.org>\r\n2 recipient(s)\r\nSubject : Hello\r\nSize : 1234 bytes");

  // An entry that has left the registry leaves the panel as it was.
  {
    std::lock_guard<std::mutex> guard(OutgoingLock());
    OutgoingRegistry().RemoveWorker("out.tml");
  }
  windowThread.Invoke([this] { mainWindow.ShowOutgoingInfo(); });
  EXPECT_EQ(TextOf(kOutgoingInfoPanel),
            "Mail from <ann@example.org>\r\n2 recipient(s)\r\nSubject : Hello\r\nSize : 1234 bytes");
}

TEST_F(MainWindowTest, ClientImageWindowAndNotificationsChangeOnTheWindowThread) {
  mainWindow.SetClientImage(true);
  EXPECT_EQ(controls.ButtonBitmap(kClientStateButton), kRunningBitmap);
  mainWindow.SetClientImage(false);
  EXPECT_EQ(controls.ButtonBitmap(kClientStateButton), kStoppedBitmap);
  mainWindow.HideWindow();
  EXPECT_FALSE(controls.WindowVisible());
  for (int i = 0; i < 50; ++i) mainWindow.AppendNotification(std::to_string(i) + "\r\n", "");
  std::string want;
  for (int i = 0; i < 50; ++i) want += std::to_string(i) + "\r\n";
  EXPECT_EQ(TextOf(kNotificationsBox), want);
}

TEST_F(MainWindowTest, AfterStopCountsReadAsAtTheLimitAndNothingWaits) {
  stopRequested.Set();
  EXPECT_EQ(mainWindow.IncomingCount(), INT_MAX);
  EXPECT_EQ(mainWindow.OutgoingCount(), INT_MAX);
  Register(IncomingRegistry(), "late.tml");
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
        WorkerRegistry& registry = (t % 2) ? IncomingRegistry() : OutgoingRegistry();
        Register(registry, name);
        mainWindow.RefreshStatistics();
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.RemoveWorker(name);
      }
      return 0;
    });
  }
  tracker.JoinAll();
  mainWindow.RefreshStatistics();
  EXPECT_EQ(mainWindow.IncomingCount(), 0);
  EXPECT_EQ(mainWindow.OutgoingCount(), 0);
}

}  // namespace
}  // namespace vellomar
