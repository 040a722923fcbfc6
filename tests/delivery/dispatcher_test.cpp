#include "delivery/dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>

#include "control/control_ids.h"
#include "delivery_fixture.h"
#include "support/eventually.h"
#include "support/smtp_peer.h"

namespace vellomar {
namespace {

using test::SmtpPeer;

class DispatcherTest : public test::DeliveryFixture {
 protected:
  DispatcherTest() { ReleaseClient(); }
  std::shared_ptr<ThreadHandle> StartDispatcher() {
    return relay().StartClientThread([this](ThreadHandle& self) { return DispatcherThread(relay(), relay().delivery(), self); });
  }
  // Runs one dispatcher to its end and waits for the workers it started.
  int RunDispatcher() {
    auto dispatcher = StartDispatcher();
    EXPECT_TRUE(dispatcher->WaitFor(std::chrono::seconds(30)));
    EXPECT_TRUE(test::Eventually([this] {
      return relay().outgoing.size() == 0;
    }));
    relay().threads().Reap();
    return dispatcher->ExitCode();
  }
  int ClientBitmap() {
    return windowThread.InvokeFor<int>([this] { return controls.ButtonBitmap(kClientStateButton); }).value_or(0);
  }
};

TEST_F(DispatcherTest, EmptySpoolLogsStartAndStopAndShowsTheEnd) {
  EXPECT_EQ(RunDispatcher(), 1);
  const std::string log = LogContent();
  size_t started = log.find("Client started.\r\n");
  ASSERT_NE(started, std::string::npos);
  EXPECT_NE(log.find("Client stopped: no files left.\r\n", started), std::string::npos);
  EXPECT_EQ(ClientBitmap(), kStoppedBitmap);
  EXPECT_EQ(relay().ClientThread(), nullptr);
}

TEST_F(DispatcherTest, OutputOneRunsOneWorkerAtATime) {
  Configure([&](Settings& s) { s.Output = 1; });
  std::atomic<size_t> most{0};
  SmtpPeer peer([this, &most](int connection, const std::string& line) {
    most = std::max(most.load(), relay().outgoing.size());
    return SmtpPeer::AcceptAll(connection, line);
  });
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  for (const char* name : {"1.tml", "2.tml", "3.tml"}) {
    appDir().Write(name, "HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<r>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n");
  }
  EXPECT_EQ(RunDispatcher(), 1);
  EXPECT_EQ(peer.Connections(), 3);
  EXPECT_EQ(most.load(), 1u);
  for (const char* name : {"1.tml", "2.tml", "3.tml"}) EXPECT_FALSE(appDir().Exists(name)) << name;
}

TEST_F(DispatcherTest, HeldNamesAreReleasedOnlyWhenNoDeliveryIsShown) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  appDir().Write("held.tml", "HELO a\r\nMAIL FROM:<s>\r\nSCPT TO:<r>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n");
  {
    relay().queue.Add("held.tml");
  }
  // A delivery still shown: the held name stays held for this run.
  {
    relay().outgoing.AddWorker(nullptr, "busy.tml");
  }
  mainWindow.RefreshStatistics();
  auto dispatcher = StartDispatcher();
  ASSERT_TRUE(dispatcher->WaitFor(std::chrono::seconds(30)));
  EXPECT_TRUE(appDir().Exists("held.tml"));
  EXPECT_EQ(peer.Connections(), 0);

  // Still shown, but a held file whose retry time has come is tried; one not yet due, and
  // the delivery's own name, stay held.
  const std::string waiting = "HELO a\r\nMAIL FROM:<s>\r\nSCPT TO:<r>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n";
  for (const char* name : {"later.tml", "busy.tml", "free.tml"}) appDir().Write(name, waiting);
  for (const char* name : {"held.tml", "later.tml", "busy.tml"}) relay().queue.RecordTry(name);
  for (const char* name : {"later.tml", "busy.tml", "free.tml"}) ASSERT_TRUE(relay().queue.Add(name));
  relay().queue.MakeDue("held.tml");
  relay().queue.MakeDue("busy.tml");
  ASSERT_TRUE(StartDispatcher()->WaitFor(std::chrono::seconds(30)));
  EXPECT_TRUE(test::Eventually([this, &peer] {
    return !appDir().Exists("held.tml") && peer.Connections() == 1 && relay().outgoing.size() == 1;
  }));
  for (const char* name : {"later.tml", "busy.tml", "free.tml"}) EXPECT_TRUE(appDir().Exists(name)) << name;

  // Nothing shown: every held name goes, and each file is tried once due.
  ASSERT_TRUE(RemoveFile(appDir().File("busy.tml")));
  {
    relay().outgoing.RemoveWorker("busy.tml");
  }
  mainWindow.RefreshStatistics();
  EXPECT_EQ(RunDispatcher(), 1);
  EXPECT_FALSE(appDir().Exists("free.tml"));
  EXPECT_TRUE(appDir().Exists("later.tml")) << "released, but not due";
  EXPECT_EQ(peer.Connections(), 2);
}

// The files waiting or in delivery when Flush is given go; a message stored afterwards is
// delivered, by the run that was going on and by every later one.
TEST_F(DispatcherTest, FlushDeletesWhatWaitedThenAndNothingStoredAfter) {
  std::promise<void> atMail;
  std::atomic<bool> signalled{false};
  std::atomic<bool> release{false};
  SmtpPeer peer([&](int connection, const std::string& line) {
    if (line.rfind("MAIL", 0) == 0 && !signalled.exchange(true)) {
      atMail.set_value();
      test::Eventually([&] { return release.load(); });  // holds the reply until the flush
    }
    return SmtpPeer::AcceptAll(connection, line);
  });
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  Configure([&](Settings& s) { s.Output = 1; });
  appDir().Write("1.tml", test::WorkedExample());
  appDir().Write("2.tml", test::WorkedExample());
  relay().StartClient();
  ASSERT_EQ(atMail.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  windowThread.Invoke([this] { mainWindow.FlushQueue(); });
  // Stored after the Flush, and announced as a reception announces it.
  std::string after = test::WorkedExample();
  after.replace(after.find("Subject: Hello"), 14, "Subject: after");
  appDir().Write("3.tml", after);
  relay().StartClient();
  release = true;
  auto runEnded = [this] { return relay().ClientThread() == nullptr && relay().outgoing.size() == 0; };
  ASSERT_TRUE(test::Eventually(runEnded));
  relay().StartClient();  // a later run, as the timer starts one
  ASSERT_TRUE(test::Eventually(runEnded));
  relay().threads().JoinAll();
  EXPECT_FALSE(appDir().Exists("1.tml")) << "in delivery at the flush";
  EXPECT_FALSE(appDir().Exists("2.tml")) << "waiting at the flush";
  EXPECT_FALSE(appDir().Exists("3.tml"));
  auto transcripts = peer.Transcripts();
  ASSERT_EQ(transcripts.size(), 3u) << "the aborted one, then one per recipient of 3.tml";
  EXPECT_EQ(transcripts[0].size(), 2u) << "nothing more is sent for a flushed file";
  for (size_t i = 1; i < transcripts.size(); ++i) {
    EXPECT_NE(std::find(transcripts[i].begin(), transcripts[i].end(), "Subject: after\r\n"), transcripts[i].end());
    EXPECT_EQ(transcripts[i].back(), "QUIT\r\n");
  }
  EXPECT_FALSE(relay().queue.flushRequested());
}

// A notice written after the run that started its worker has ended is delivered at once,
// not at the next timer tick.
TEST_F(DispatcherTest, ANoticeWrittenAfterTheRunEndedIsDeliveredWithoutWaiting) {
  std::atomic<bool> firstRcpt{true};
  SmtpPeer peer([&](int connection, const std::string& line) {
    if (line.rfind("RCPT", 0) == 0 && firstRcpt.exchange(false)) {
      test::Eventually([&] { return relay().ClientThread() == nullptr; });
      return std::string("550 no such user\r\n");
    }
    return SmtpPeer::AcceptAll(connection, line);
  });
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  appDir().Write("1.tml", "HELO a\r\nMAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n");
  relay().StartClient();
  ASSERT_TRUE(test::Eventually([&] { return peer.Connections() == 2 && Notices("").empty(); }))
      << peer.Connections() << " connections, " << Notices("").size() << " files left";
  EXPECT_EQ(peer.Transcripts()[1][1], "MAIL FROM:<>\r\n") << "the notice went out";
}

TEST_F(DispatcherTest, MinimizeIsActedOnByTheFirstRunOnly) {
  Configure([&](Settings& s) { s.Minimize = true; });
  RunDispatcher();
  EXPECT_TRUE(test::Eventually([this] {
    return !windowThread.InvokeFor<bool>([this] { return controls.WindowVisible(); }).value_or(true);
  }));
  windowThread.Invoke([this] { controls.SetWindowVisible(true); });
  RunDispatcher();
  EXPECT_TRUE(controls.WindowVisible());
}

TEST_F(DispatcherTest, APausedDispatcherStartsNoWorker) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  Configure([&](Settings& s) { s.Output = 1; });
  for (const char* name : {"1.tml", "2.tml"}) appDir().Write(name, test::WorkedExample());
  std::shared_ptr<ThreadHandle> dispatcher = relay().StartClientThread([this](ThreadHandle& self) {
    self.Suspend();  // paused before its first pass
    return DispatcherThread(relay(), relay().delivery(), self);
  });
  EXPECT_FALSE(dispatcher->WaitFor(std::chrono::milliseconds(200)));
  EXPECT_EQ(peer.Connections(), 0);
  std::atomic<bool> resumed{true};
  EXPECT_EQ(dispatcher->Resume(), 1);
  ASSERT_TRUE(dispatcher->WaitFor(std::chrono::seconds(30)));
  relay().threads().JoinAll();
  EXPECT_EQ(peer.Connections(), 4);
}

}  // namespace
}  // namespace vellomar
