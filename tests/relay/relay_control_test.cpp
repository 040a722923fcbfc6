#include <gtest/gtest.h>

#include <future>

#include "control/control_ids.h"
#include "control/registry_key.h"
#include "control/settings_loading.h"
#include "delivery/route_walk.h"
#include "dns/mx_resolver.h"
#include "platform/file_system.h"
#include "relay/status_file.h"
#include "smtp_server/listener.h"
#include "spool/relay_services.h"
#include "support/dns_peer.h"
#include "support/eventually.h"
#include "support/loopback.h"
#include "support/relay_fixture.h"
#include "support/smtp_peer.h"
#include "support/smtp_test_client.h"
#include "support/temp_dir.h"

namespace vellomar {
namespace {

using test::Eventually;

class ControllerTest : public test::RelayFixture {
 protected:
  ~ControllerTest() override { StopAll(); }

  void Init() {
    windowThread.Invoke([this] { mainWindow.OnInitDialog(); });
    ASSERT_TRUE(Eventually([this] { return relay().listeningPort.load() != 0; }));
  }
  // Shutdown runs on the window's thread and sets the stop flag, so it is awaited apart.
  void ShutDown() {
    std::promise<void> done;
    windowThread.Post([&] {
      mainWindow.Shutdown();
      done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  }
  size_t Count(const std::string& line) {
    std::string log = LogContent();
    size_t count = 0;
    for (size_t at = log.find(line + "\r\n"); at != std::string::npos; at = log.find(line + "\r\n", at + 1)) ++count;
    return count;
  }
  bool DispatcherEnded() {
    return relay().ClientThread() == nullptr;
  }
  int Bitmap(int button) {
    return windowThread.InvokeFor<int>([this, button] { return controls.ButtonBitmap(button); }).value_or(0);
  }
  // Lines of the log in the order given, each after the one before.
  bool InOrder(const std::vector<std::string>& lines) {
    std::string log = LogContent();
    size_t at = 0;
    for (const std::string& line : lines) {
      at = log.find(line + "\r\n", at);
      if (at == std::string::npos) return false;
    }
    return true;
  }
};

TEST_F(ControllerTest, InitialisationStartsBothSidesInOrder) {
  Init();
  ASSERT_TRUE(Eventually([this] { return DispatcherEnded(); }));
  EXPECT_TRUE(InOrder({"Initializing...", "Server starting...", "Client starting..."}));
  EXPECT_EQ(Count("Client started."), 1u);
  EXPECT_EQ(Count("Client stopped: no files left."), 1u);
  EXPECT_EQ(Bitmap(kServerStateButton), kRunningBitmap);
  EXPECT_EQ(Bitmap(kClientStateButton), kStoppedBitmap);
  EXPECT_EQ(appDir().Read("store/HKEY_LOCAL_MACHINE.ini"), "[Software\\Vellomar]\nLogsize=10\nInput=100\nOutput=100\nLifetime=5\n");
}

TEST_F(ControllerTest, ThreeClicksOnTheServerButtonPauseResumePause) {
  Init();
  std::vector<int> bitmaps;
  for (int click = 0; click < 3; ++click) {
    windowThread.Invoke([this] { mainWindow.ToggleServer(); });
    bitmaps.push_back(Bitmap(kServerStateButton));
  }
  EXPECT_EQ(bitmaps, (std::vector<int>{kStoppedBitmap, kRunningBitmap, kStoppedBitmap}));
  EXPECT_TRUE(InOrder({"Server thread paused.", "Server thread resumed.", "Server thread paused."}));
  EXPECT_EQ(relay().ServerThread()->SuspendCount(), 1);
}

TEST_F(ControllerTest, AClickAfterTheDispatcherStoppedLaunchesANewOne) {
  Init();
  ASSERT_TRUE(Eventually([this] { return DispatcherEnded(); }));
  windowThread.Invoke([this] { mainWindow.ToggleClient(); });
  EXPECT_EQ(Count("Launching client..."), 1u);
  EXPECT_EQ(Count("Client starting..."), 1u) << "only the start-up's";
  ASSERT_TRUE(Eventually([this] { return Count("Client started.") == 2; }));
}

// A file waiting for its retry time is passed over by the runs that arrivals start; a click
// that launches the client, and Deliver now, make it due at once.
TEST_F(ControllerTest, LaunchingTheClientByHandAndDeliverNowMakeWaitingFilesDue) {
  test::SmtpPeer peer(test::SmtpPeer::AcceptAll);
  SettingsKey().Write("SMTP", peer.server());
  const std::string message = "HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<r>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n";
  auto deferBy = [this](const std::string& name) { relay().queue.RecordTry(name); };
  appDir().Write("1.tml", message);
  deferBy("1.tml");
  Init();
  ASSERT_TRUE(Eventually([this] { return DispatcherEnded(); }));
  EXPECT_TRUE(appDir().Exists("1.tml"));
  EXPECT_EQ(peer.Connections(), 0) << "not due for a minute";
  windowThread.Invoke([this] { mainWindow.ToggleClient(); });
  ASSERT_TRUE(Eventually([&] { return peer.Connections() == 1 && !appDir().Exists("1.tml"); })) << LogContent();

  ASSERT_TRUE(Eventually([this] { return DispatcherEnded(); }));
  appDir().Write("2.tml", message);
  deferBy("2.tml");
  relay().StartClient();  // as after a stored message
  ASSERT_TRUE(Eventually([this] { return Count("Client started.") == 3 && DispatcherEnded(); }));
  EXPECT_TRUE(appDir().Exists("2.tml"));
  windowThread.Invoke([this] { mainWindow.DeliverNow(); });
  ASSERT_TRUE(Eventually([&] { return peer.Connections() == 2 && !appDir().Exists("2.tml"); })) << LogContent();
  EXPECT_EQ(Count("Delivering every waiting e-mail now."), 1u);
}

TEST_F(ControllerTest, TimerTicksStartTheClientAgain) {
  relay().timings.clientTimerPeriod = std::chrono::milliseconds(50);
  Init();
  ASSERT_TRUE(Eventually([this] { return Count("Client starting...") >= 3; }));
}

TEST_F(ControllerTest, TimerTicksDoNothingWhileTheDispatcherIsPaused) {
  test::SmtpPeer peer([](int, const std::string&) { return std::string(); });  // never answers
  SettingsKey().Write("SMTP", peer.server());
  SettingsKey().Write("Output", "1");
  relay().timings.client = {std::chrono::milliseconds(2000), std::chrono::seconds(60)};
  for (const char* name : {"1.tml", "2.tml"}) appDir().Write(name, "HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<r>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n");
  relay().timings.clientTimerPeriod = std::chrono::milliseconds(50);
  Init();
  ASSERT_TRUE(Eventually([&] { return peer.Connections() == 1; })) << "the dispatcher waits at its limit";
  windowThread.Invoke([this] { mainWindow.ToggleClient(); });
  EXPECT_EQ(Bitmap(kClientStateButton), kStoppedBitmap);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // six ticks of the timer
  EXPECT_EQ(Count("Client starting..."), 1u) << "only the start-up's";
  EXPECT_EQ(Count("Client thread paused."), 1u);
  EXPECT_EQ(Count("Client started."), 1u);
}

TEST_F(ControllerTest, FlushDeletesWaitingFilesAndLeavesTakenOnes) {
  appDir().Write("waiting.tml", "x");
  appDir().Write("taken.tml", "x");
  relay().queue.Add("taken.tml");
  windowThread.Invoke([this] { mainWindow.FlushQueue(); });
  EXPECT_FALSE(appDir().Exists("waiting.tml"));
  EXPECT_TRUE(appDir().Exists("taken.tml"));
  EXPECT_TRUE(relay().queue.flushRequested());
  EXPECT_NE(LogContent().find("Flushing...\r\n"), std::string::npos);
}

TEST_F(ControllerTest, ShutdownResumesAPausedDispatcherAndLogsInOrder) {
  test::SmtpPeer peer([](int, const std::string&) { return std::string(); });  // never answers
  SettingsKey().Write("SMTP", peer.server());
  SettingsKey().Write("Output", "1");
  relay().timings.client = {std::chrono::milliseconds(2000), std::chrono::seconds(60)};
  for (const char* name : {"1.tml", "2.tml"}) appDir().Write(name, "HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<r>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n");
  Init();
  ASSERT_TRUE(Eventually([&] { return peer.Connections() == 1; })) << "one worker holds the only place";
  windowThread.Invoke([this] { mainWindow.ToggleClient(); });
  std::shared_ptr<ThreadHandle> dispatcher = relay().ClientThread();
  ASSERT_NE(dispatcher, nullptr);
  EXPECT_EQ(dispatcher->SuspendCount(), 1);
  windowThread.Invoke([this] { mainWindow.ToggleServer(); });
  ShutDown();
  EXPECT_FALSE(dispatcher->IsRunning());
  EXPECT_FALSE(dispatcher->IsCancelled()) << "resumed, it saw the stop and ended by itself";
  EXPECT_FALSE(relay().ServerThread()->IsRunning());
  EXPECT_TRUE(InOrder({"Client terminated.", "Server terminated.", "Input threads deleted.", "Output threads deleted.",
                       "File list now empty."}));
  EXPECT_TRUE(appDir().Exists("1.tml"));
  EXPECT_TRUE(appDir().Exists("2.tml"));
  EXPECT_EQ(relay().queue.size(), 0u);
}

// Three workers, each stuck where a peer can keep it: a connect whose SYNs are dropped, a
// reply that never comes, and a DNS query nobody answers. All their time limits are far
// longer than the bound; shutdown, with every thread joined, stays within 3 s.
TEST_F(ControllerTest, ShutdownEndsWithinThreeSecondsWhateverThePeersDo) {
  test::SynDroppingPeer dropping = test::DropSyns();
  test::SmtpPeer silent([](int, const std::string&) { return std::string(); });
  const std::string dropper = "127.0.0.1:" + std::to_string(dropping.port);
  test::DnsPeer dns([&](const std::vector<uint8_t>& query) {
    std::string asked(query.begin() + 12, query.end());
    uint16_t id = static_cast<uint16_t>(query[0] << 8 | query[1]);
    for (auto [label, exchanger] : {std::pair{"\x03syn", dropper}, std::pair{"\x06silent", silent.server()}}) {
      if (asked.find(label) == std::string::npos) continue;
      std::string domain = label[1] == 's' && label[2] == 'y' ? "syn.test" : "silent.test";
      return test::DnsPeer::Answer{test::DnsReply(id, 1, domain).Mx(10, exchanger).Build(), {}};
    }
    return test::DnsPeer::Answer{};  // nodns.test: no answer at all
  });
  SettingsKey().Write("REAL_RELAY", "1");
  SettingsKey().Write("DNS", dns.server());
  relay().timings.client = {std::chrono::seconds(50), std::chrono::seconds(50)};
  relay().timings.dnsWait = std::chrono::seconds(25);
  for (const char* domain : {"syn", "silent", "nodns"}) {
    appDir().Write(std::string(domain) + ".tml", std::string("HELO a\r\nMAIL FROM:<s@x.test>\r\nRCPT TO:<r@") + domain +
                                                     ".test>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n");
  }
  Init();
  ASSERT_TRUE(Eventually([&] {
    return test::ConnectsInProgressTo(dropping.port) == 1 && silent.Transcripts().size() == 1 &&
           !silent.Transcripts()[0].empty() && dns.Queries().size() >= 3;
  })) << "every worker is in its wait";
  auto start = std::chrono::steady_clock::now();
  ShutDown();
  relay().threads().JoinAll();
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_LT(took.count(), 3000) << "shutdown took " << took.count() << " ms";
  for (const char* name : {"syn.tml", "silent.tml", "nodns.tml"}) {
    EXPECT_EQ(appDir().Read(name).find("XCPT"), std::string::npos) << name << " is left as it was";
  }
}

}  // namespace
}  // namespace vellomar

namespace vellomar {
namespace {

// Two relays in one process share nothing: the first relays to the second, which relays to a
// peer; each keeps its own folder, queue, counters and log.
TEST_F(ControllerTest, TwoRelaysInOneProcessRelayThroughEachOther) {
  test::SmtpPeer peer(test::SmtpPeer::AcceptAll);
  test::TempDir otherDir;
  MemoryControls otherControls;
  StopFlag otherStop;
  ThreadExecutor otherWindow(otherStop);
  MainWindow other(otherWindow, otherControls, otherStop, otherDir.path());
  Settings otherSettings;
  otherSettings.SMTP = peer.server();
  other.relay().PublishSettings(otherSettings);
  ASSERT_TRUE(other.relay().OpenLog());
  other.relay().threads().Start([&other](ThreadHandle& self) { return ListenerThread(other.relay(), self); });
  ASSERT_TRUE(Eventually([&] { return other.relay().listeningPort.load() != 0; }));
  Configure([&](Settings& s) { s.SMTP = "127.0.0.1:" + std::to_string(other.relay().listeningPort.load()); });

  test::SmtpTestClient client(StartListener());
  client.ReadReply();
  for (const char* line : {"HELO a\r\n", "MAIL FROM:<s@example.org>\r\n", "RCPT TO:<r@example.org>\r\n", "DATA\r\n",
                           "Subject: twice\r\n\r\nx\r\n.\r\n", "QUIT\r\n"}) {
    client.Send(line);
    EXPECT_NE(client.ReadReply(), "") << line;
  }
  std::vector<std::string> lines;
  ASSERT_TRUE(Eventually([&] {
    auto transcripts = peer.Transcripts();
    if (transcripts.size() == 1) lines = transcripts[0];
    return !lines.empty() && lines.back() == "QUIT\r\n";
  })) << LogContent();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Received:", 0) == 0; }), 2)
      << "one trace header from each relay";
  EXPECT_TRUE(Eventually([&] { return relay().counters.sentOk == 1 && other.relay().counters.sentOk == 1; }));
  EXPECT_EQ(relay().counters.receivedOk, 1u);
  EXPECT_EQ(other.relay().counters.receivedOk, 1u);
  EXPECT_NE(otherDir.Read("logfile").find("Server started and listening."), std::string::npos);
  otherStop.Set();
  other.relay().incoming.TerminateAll();
  other.relay().threads().JoinAll();
  otherWindow.Stop();
}

// A message that waited two hours, as its trace header dates it; nobody delivers it (simple
// relaying without a next relay makes no attempt).
std::string WaitedTwoHours(const std::string& recipient) {
  std::time_t arrival = std::time(nullptr) - 2 * 3600;
  std::tm utc{};
  gmtime_r(&arrival, &utc);
  char date[64];
  std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S +0000", &utc);
  return "HELO a\r\nMAIL FROM:<ann@example.org>\r\nRCPT TO:" + recipient + "\r\nDATA\r\nReceived: from a\r\n\tby b with Vellomar; " +
         date + "\r\n\r\nx\r\n.\r\nQUIT\r\n";
}

// The running relay keeps its status file for `vellomar --status`: who it is, since when, its
// ports, and what its accounts last did, replaced whole as that changes.
TEST_F(ControllerTest, TheRunningRelayKeepsItsStatusFile) {
  const std::time_t before = std::time(nullptr);
  Init();
  std::optional<RelayStatusFile> status;
  auto read = [&] {
    auto text = ReadWholeFile(appDir().File(kStatusFile));
    status = text ? ParseStatusFile(text.value()) : std::nullopt;
    return status.has_value();
  };
  ASSERT_TRUE(Eventually([&] { return read() && !status->ports.empty(); })) << LogContent();
  EXPECT_EQ(status->pid, ::getpid());
  EXPECT_GE(status->started, before);
  EXPECT_EQ(status->ports, std::vector<int>{relay().listeningPort.load()});
  auto facts = FactsAt(appDir().File(kStatusFile));
  ASSERT_TRUE(facts.ok());
  EXPECT_EQ(facts.value().mode & 0777, 0600u) << "the folder's owner's alone";

  relay().ReportEvent({.kind = RelayEvent::Kind::Failed, .account = "shop", .reason = "451 busy"});
  ASSERT_TRUE(Eventually([&] { return read() && status->accounts.count("shop") == 1; })) << LogContent();
  EXPECT_EQ(status->accounts["shop"].lastFailureReason, "451 busy");
  EXPECT_FALSE(status->accounts["shop"].lastSuccess.has_value());
  relay().ReportEvent({.kind = RelayEvent::Kind::LoginRefused, .account = "shop", .reason = "535 no"});
  ASSERT_TRUE(Eventually([&] { return read() && status->accounts["shop"].loginRefused; }));
  relay().ReportEvent({.kind = RelayEvent::Kind::Delivered, .account = "shop"});
  ASSERT_TRUE(Eventually([&] { return read() && status->accounts["shop"].lastSuccess.has_value(); }));
  EXPECT_FALSE(status->accounts["shop"].loginRefused) << "a success mends it";
  EXPECT_EQ(status->accounts["shop"].lastFailureReason, "535 no");
}

// Mail waiting over an hour, and a recipient given up, reach the desktop's notifications once
// their few seconds of gathering passed; with Notify=0 nothing does.
TEST_F(ControllerTest, EventsBecomeDesktopNotificationsUnlessNotifyIsOff) {
  controls.SetTray(true);
  appDir().Write("7.tml", WaitedTwoHours("<bob@example.net>"));
  Init();
  auto shown = [&] {
    windowThread.Invoke([this] { mainWindow.ShowDueNotifications(std::chrono::steady_clock::now() + std::chrono::seconds(6)); });
    return controls.Notifications();
  };
  ASSERT_TRUE(Eventually([&] { return !shown().empty(); })) << LogContent();
  EXPECT_EQ(controls.Notifications(),
            (std::vector<MemoryControls::Notification>{{"A message has waited over an hour", "To <bob@example.net>.", ""}}));

  relay().ReportEvent({.kind = RelayEvent::Kind::GivenUp, .account = "default", .subject = "<cy@example.net>",
                       .reason = "550 no such user"});
  ASSERT_TRUE(Eventually([&] { return shown().size() == 2; }));
  EXPECT_EQ(controls.Notifications()[1].title, "Recipient given up");

  Configure([](Settings& s) { s.Notify = false; });
  relay().ReportEvent({.kind = RelayEvent::Kind::SpoolTrouble, .reason = "can't write spool file 1.tml: full"});
  windowThread.Invoke([] {});  // whatever was posted has run
  EXPECT_EQ(shown().size(), 2u) << "Notify=0";
}

}  // namespace
}  // namespace vellomar
