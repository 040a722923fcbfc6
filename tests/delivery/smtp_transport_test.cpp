#include "delivery/route_walk.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "delivery/delivery_notes.h"
#include "delivery/route.h"
#include "delivery_fixture.h"
#include "platform/host_lookup.h"
#include "spool/relay_services.h"
#include "support/eventually.h"
#include "support/loopback.h"
#include "support/smtp_peer.h"

namespace vellomar {
namespace {

using test::SmtpPeer;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

// Caps the size a file of this process may reach, as a full disk would: a write that starts
// at or past the cap fails with EFBIG. Restored at the end of the scope.
class FileSizeCap {
 public:
  explicit FileSizeCap(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit capped = saved_;
    capped.rlim_cur = bytes;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &capped), 0);
  }
  ~FileSizeCap() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

class DeliverRecipientTest : public test::DeliveryFixture {
 protected:
  static Lines Transaction(const std::string& rcpt) {
    return {"HELO client.example\r\n",
            "MAIL FROM:<sender address>\r\n",
            rcpt,
            "DATA\r\n",
            "Received: from client.example\r\n",
            "\tby myhost with Vellomar; Sun, 6 Dec 2026 8:5:3 +0100 (CET)\r\n",
            "Subject: Hello\r\n",
            "\r\n",
            "Hi Bob.\r\n",
            ".\r\n",
            "QUIT\r\n"};
  }
  // A script that answers `reply` to the RCPT line and accepts the rest.
  static SmtpPeer::Script RcptReply(std::string reply) {
    return [reply](int connection, const std::string& line) {
      return line.rfind("RCPT", 0) == 0 ? reply : SmtpPeer::AcceptAll(connection, line);
    };
  }
};

TEST_F(DeliverRecipientTest, WorkedExampleReplaysEachRecipientOnItsOwnConnection) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Spool("953.tml", test::WorkedExample());
  const off_t lineFour = LineAt("953.tml", 3).first;
  off_t after = 0;
  EXPECT_TRUE(Deliver("953.tml", 2, peer.server(), &after)) << "line 4 is still pending";
  EXPECT_EQ(after, lineFour) << "positioned just after the recipient line";
  EXPECT_FALSE(Deliver("953.tml", 3, peer.server())) << "DATA follows";

  auto transcripts = peer.Transcripts();
  ASSERT_EQ(transcripts.size(), 2u);
  EXPECT_EQ(transcripts[0], Transaction("RCPT TO:<first address>\r\n"));
  EXPECT_EQ(transcripts[1], Transaction("RCPT TO:<second address>\r\n"));
  std::string want = test::WorkedExample();
  want[LineAt("953.tml", 2).first] = 'X';
  want[lineFour] = 'X';
  EXPECT_EQ(appDir().Read("953.tml"), want);
  EXPECT_EQ(relay().counters.sentAll, 2u);
  EXPECT_EQ(relay().counters.sentOk, 2u);
  EXPECT_TRUE(Notices("953.tml").empty());
}

TEST_F(DeliverRecipientTest, FourXxAdvancesTheLetterFiveTimesThenGivesUpWithANotice) {
  Configure([&](Settings& s) { s.Logdel = true; });
  SmtpPeer peer(RcptReply("451 try later\r\n"));
  Spool("953.tml", test::WorkedExample());
  const off_t second = LineAt("953.tml", 3).first;
  for (char want : {'S', 'T', 'U', 'V', 'W'}) {
    EXPECT_FALSE(Deliver("953.tml", 3, peer.server()));
    EXPECT_EQ(appDir().Read("953.tml")[second], want);
    EXPECT_TRUE(Notices("953.tml").empty());
  }
  EXPECT_FALSE(Deliver("953.tml", 3, peer.server()));
  EXPECT_EQ(appDir().Read("953.tml")[second], 'X');
  auto notices = Notices("953.tml");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(appDir().Read(notices[0]).find("Server replyed : \r\n451 try later\r\n"), std::string::npos);
  EXPECT_EQ(relay().counters.sentOk, 0u);
  EXPECT_NE(LogContent().find("Sending to <second address> delayed (4xx STMP error)\r\n"), std::string::npos);
  for (const Lines& transcript : peer.Transcripts()) {
    EXPECT_EQ(transcript.back(), "RCPT TO:<second address>\r\n") << "sent as R, whatever the stored letter";
  }
}

TEST_F(DeliverRecipientTest, FiveXxGivesUpWithTheNoticeTextLineByLine) {
  Configure([&](Settings& s) { s.Logabo = true; });
  SmtpPeer peer(RcptReply("550 No such user\r\n"));
  Spool("953.tml", test::WorkedExample());
  EXPECT_TRUE(Deliver("953.tml", 2, peer.server()));
  EXPECT_EQ(appDir().Read("953.tml")[LineAt("953.tml", 2).first], 'X');
  auto notices = Notices("953.tml");
  ASSERT_EQ(notices.size(), 1u);
  const std::string notice = appDir().Read(notices[0]);
  const std::string text =
      "Vellomar SMTP Server Error !!! \r\n"
      "Mail to :<first address>\r\n"
      "(subject : Hello)\r\n"
      "could not be delivered.\r\n"
      "\r\n"
      "Server replyed : \r\n"
      "550 No such user\r\n";
  EXPECT_EQ(notice.rfind("HELO localhost\r\nMAIL FROM:<>\r\nRCPT To:<sender address>\r\nDATA\r\n", 0), 0u) << notice;
  EXPECT_NE(notice.find("\r\n\r\n" + text + ".\r\nQUIT\r\n"), std::string::npos) << notice;
  EXPECT_NE(LogContent().find("Sending to <first address> aborted (5xx STMP error)\r\n"), std::string::npos);
  EXPECT_EQ(relay().counters.sentAll, 1u);
  EXPECT_EQ(relay().counters.sentOk, 0u);
}

TEST_F(DeliverRecipientTest, TrueRelayingTriesTheAlternateAfter550Or554) {
  Configure([&](Settings& s) { s.REAL_RELAY = true; });
  for (const char* rejection : {"550 unknown\r\n", "554 refused\r\n"}) {
    SCOPED_TRACE(rejection);
    SmtpPeer exchanger(RcptReply(rejection));
    SmtpPeer alternate(SmtpPeer::AcceptAll);
    Configure([&](Settings& s) { s.Alternate = alternate.server(); });
    Spool("953.tml", test::WorkedExample());
    EXPECT_TRUE(Deliver("953.tml", 2, exchanger.server()));
    EXPECT_EQ(alternate.Transcripts().size(), 1u);
    EXPECT_EQ(appDir().Read("953.tml")[LineAt("953.tml", 2).first], 'X');
    EXPECT_TRUE(Notices("953.tml").empty());
  }
  EXPECT_NE(LogContent().find("Warning : Using alternative SMTP server for email :953.tml\r\n"), std::string::npos);

  SmtpPeer exchanger(RcptReply("550 unknown\r\n"));
  SmtpPeer alternate(RcptReply("550 no relay\r\n"));
  Configure([&](Settings& s) { s.Alternate = alternate.server(); });
  Spool("954.tml", test::WorkedExample());
  EXPECT_TRUE(Deliver("954.tml", 2, exchanger.server()));
  auto notices = Notices("953.tml");
  notices.erase(std::remove(notices.begin(), notices.end(), "954.tml"), notices.end());
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(appDir().Read(notices[0]).find("550 no relay\r\n"), std::string::npos) << "the alternate's reply";
}

TEST_F(DeliverRecipientTest, SimpleRelaying550IsAFailureLikeAnyOther) {
  SmtpPeer peer(RcptReply("550 unknown\r\n"));
  SmtpPeer alternate(SmtpPeer::AcceptAll);
  Configure([&](Settings& s) { s.Alternate = alternate.server(); });
  Spool("953.tml", test::WorkedExample());
  Deliver("953.tml", 2, peer.server());
  EXPECT_EQ(alternate.Connections(), 0);
  EXPECT_EQ(Notices("953.tml").size(), 1u);
}

TEST_F(DeliverRecipientTest, FileEndingEarlyGivesUpWithItsReason) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  struct Case {
    std::string content;
    int line;
    const char* reason;
  };
  const Case cases[] = {
      {"HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<r>\r\nDATA\r\nSubject: x\r\n\r\nbody\r\n", 2, "unexpected EOF"},
      {"HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<r>\r\nRCPT TO:<q>\r\n", 2, "unexpected EOF (recipients zone)"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string name = std::to_string(++n) + ".tml";
    Spool(name, c.content);
    Deliver(name, c.line, peer.server());
    EXPECT_EQ(appDir().Read(name)[LineAt(name, c.line).first], 'X') << c.reason;
  }
  std::string all;
  for (const std::string& notice : Notices("")) {
    if (notice != "1.tml" && notice != "2.tml") all += appDir().Read(notice);
  }
  EXPECT_NE(all.find("Server replyed : \r\nunexpected EOF\r\n"), std::string::npos);
  EXPECT_NE(all.find("Server replyed : \r\nunexpected EOF (recipients zone)\r\n"), std::string::npos);
}

TEST_F(DeliverRecipientTest, AcceptedDataWithoutQuitIsDeliveredWithoutANotice) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Spool("953.tml", "HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<r>\r\nDATA\r\nx\r\n.\r\n");
  EXPECT_FALSE(Deliver("953.tml", 2, peer.server()));
  EXPECT_EQ(appDir().Read("953.tml")[LineAt("953.tml", 2).first], 'X');
  EXPECT_TRUE(Notices("953.tml").empty());
  EXPECT_EQ(peer.Transcripts()[0].back(), ".\r\n");
  EXPECT_EQ(relay().counters.sentOk, 1u) << "the accepted data counts, with or without QUIT";
}

TEST_F(DeliverRecipientTest, LowerCaseCommandsAreReplayedWithAnUpperCaseR) {
  SmtpPeer peer([](int connection, const std::string& line) {
    return line.rfind("Rcpt", 0) == 0 ? std::string("421 busy\r\n") : SmtpPeer::AcceptAll(connection, line);
  });
  Spool("953.tml", "helo a\r\nmail from:<s>\r\nrcpt to:<r>\r\ndata\r\nx\r\n.\r\nquit\r\n");
  Deliver("953.tml", 2, peer.server());
  EXPECT_EQ(peer.Transcripts()[0].back(), "Rcpt to:<r>\r\n");
  EXPECT_EQ(appDir().Read("953.tml").substr(LineAt("953.tml", 2).first, 4), "scpt");
}

TEST_F(DeliverRecipientTest, StopOrFlushMidTransactionMarksNothing) {
  for (bool stopping : {false, true}) {
    relay().queue.Add("953.tml");  // in delivery, as a worker's file is
    SmtpPeer peer([this, stopping](int connection, const std::string& line) {
      if (line.rfind("MAIL", 0) == 0) stopping ? stop.Set() : (void)relay().queue.Flush();
      return SmtpPeer::AcceptAll(connection, line);
    });
    Spool("953.tml", test::WorkedExample());
    EXPECT_TRUE(Deliver("953.tml", 2, peer.server()));
    EXPECT_EQ(appDir().Read("953.tml"), test::WorkedExample());
    EXPECT_EQ(peer.Transcripts()[0].size(), 2u) << "nothing sent after the flag";
    relay().queue.Remove("953.tml");
    EXPECT_FALSE(relay().queue.flushRequested()) << "the flush ends with the last file it marked";
  }
}

// A transaction on a file taken after the Flush goes on to its end, while the Flush still
// waits for a file it marked.
TEST_F(DeliverRecipientTest, AFlushOfOtherFilesLeavesThisTransactionAlone) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  relay().queue.Add("before.tml");
  (void)relay().queue.Flush();  // nothing waits to be deleted
  relay().queue.Add("953.tml");
  Spool("953.tml", test::WorkedExample());
  EXPECT_TRUE(Deliver("953.tml", 2, peer.server()));
  EXPECT_TRUE(relay().queue.flushRequested()) << "before.tml still carries the mark";
  EXPECT_EQ(peer.Transcripts()[0], Transaction("RCPT TO:<first address>\r\n"));
  EXPECT_EQ(appDir().Read("953.tml")[LineAt("953.tml", 2).first], 'X');
}

TEST_F(DeliverRecipientTest, WholeRepliesAreReadWhateverTheirShape) {
  SmtpPeer peer(
      [](int connection, const std::string& line) -> std::string {
        if (line.rfind("HELO", 0) == 0) return "250-peer greets you\r\n250-SIZE 1000\r\n250 HELP\r\n";
        if (line.rfind("MAIL", 0) == 0) return "25" + std::string(SmtpPeer::kSplit) + "0 sender ok\r\n";
        return SmtpPeer::AcceptAll(connection, line);
      },
      "554-not really\r\n554 greeting is never examined\r\n");
  Spool("953.tml", test::WorkedExample());
  Deliver("953.tml", 2, peer.server());
  EXPECT_EQ(peer.Transcripts()[0], Transaction("RCPT TO:<first address>\r\n"));
  EXPECT_EQ(appDir().Read("953.tml")[LineAt("953.tml", 2).first], 'X');
  EXPECT_EQ(relay().counters.sentOk, 1u);
}

TEST_F(DeliverRecipientTest, UnreachableOrSilentServersLeaveTheRecipientPending) {
  relay().timings.client = {std::chrono::milliseconds(2000), std::chrono::milliseconds(200)};
  SmtpPeer silent([](int, const std::string&) { return std::string(); });
  std::string refused;
  {
    SmtpPeer closed(SmtpPeer::AcceptAll);
    refused = closed.server();
  }
  Spool("953.tml", test::WorkedExample());
  EXPECT_FALSE(Deliver("953.tml", 2, silent.server()));
  EXPECT_FALSE(Deliver("953.tml", 2, refused));
  EXPECT_FALSE(Deliver("953.tml", 2, "bad..name.invalid"));
  EXPECT_FALSE(Deliver("953.tml", 2, ""));
  EXPECT_EQ(appDir().Read("953.tml"), test::WorkedExample());
  const std::string log = LogContent();
  EXPECT_NE(log.find("Error : no reply from " + silent.server() + "\r\n"), std::string::npos);
  EXPECT_NE(log.find("Error : can't connect to " + refused + "\r\n"), std::string::npos);
  EXPECT_NE(log.find("Error : can't find IP for bad..name.invalid\r\n"), std::string::npos);
  EXPECT_EQ(relay().counters.sentAll, 1u) << "only the silent server was reached";
  // The last of them is kept for the recipient, for the window and a later notice.
  EXPECT_EQ(LastDeliveryError(relay(), "953.tml", "RCPT TO:<first address>\r\n"), "can't find IP for bad..name.invalid");
  EXPECT_EQ(LastDeliveryError(relay(), "953.tml", "RCPT TO:<second address>\r\n"), "");
  EXPECT_FALSE(Deliver("953.tml", 2, refused));
  EXPECT_EQ(LastDeliveryError(relay(), "953.tml", "RCPT TO:<first address>\r\n"), "can't connect to " + refused);
}

// Each address of the server in turn: a refusal, a 4xx greeting or none gives way to the
// next; when all fail, the recipient's last error names each with its reason.
TEST_F(DeliverRecipientTest, EachAddressOfTheServerInTurn) {
  const bool ipv6 = test::HasIpv6Loopback();
  Spool("953.tml", test::WorkedExample());
  if (ipv6) {
    SmtpPeer onIpv6(SmtpPeer::AcceptAll, "220 peer ready\r\n", "::1");
    EXPECT_TRUE(Deliver("953.tml", 2, onIpv6.server()));
    EXPECT_NE(LogContent().find("Connected to " + onIpv6.server() + " [::1]\r\n"), std::string::npos);
    Spool("953.tml", test::WorkedExample());
  }

  relay().timings.client.reply = milliseconds(300);
  SmtpPeer busy(SmtpPeer::AcceptAll, "421 busy\r\n", "127.0.0.2");
  SmtpPeer silent(SmtpPeer::AcceptAll, "", "127.0.0.3", busy.port());
  SmtpPeer taking(SmtpPeer::AcceptAll, "220 ready\r\n", "127.0.0.4", busy.port());
  const std::string server = "x.test:" + std::to_string(busy.port());
  auto hopWith = [&](std::vector<std::string> hosts) {
    Route route = RouteVia(*relay().settings(), server);
    route.hops[0].addresses = [hosts](const std::string& host, uint16_t port) {
      EXPECT_EQ(host, "x.test");
      std::vector<SocketAddress> found;
      for (const std::string& text : hosts) found.push_back(LookUpHost(text, port, AF_UNSPEC, {}).value().front());
      return found;
    };
    return route;
  };
  struct Case {
    std::vector<std::string> hosts;
    bool delivered;
    std::string want;  // in the log, or the last error
  };
  const Case cases[] = {
      {{"127.0.0.2", "127.0.0.3", "127.0.0.4"}, true, "Connected to " + server + " [127.0.0.4]\r\n"},
      {{"127.0.0.5", "::1"}, false, "can't connect to " + server + " ([::1]: Connection refused; [127.0.0.5]: Connection refused)"},
  };
  for (const Case& c : cases) {
    if (!ipv6 && c.hosts.back() == "::1") continue;
    auto [position, line] = LineAt("953.tml", 3);
    SpoolFile file = Open("953.tml");
    DeliverAlongRoute(relay(), *relay().settings(), file, "953.tml", hopWith(c.hosts), line, position);
    if (c.delivered) {
      EXPECT_NE(LogContent().find(c.want), std::string::npos) << LogContent();
    }
    if (!c.delivered) {
      EXPECT_EQ(LastDeliveryError(relay(), "953.tml", line), c.want);
    }
  }
  EXPECT_EQ(busy.Connections() + silent.Connections() + taking.Connections(), 3);
  EXPECT_EQ(taking.Transcripts()[0].back(), "QUIT\r\n");
}

TEST_F(DeliverRecipientTest, RefusedConnectionInTrueRelayingGoesToTheAlternate) {
  Configure([&](Settings& s) { s.REAL_RELAY = true; });
  SmtpPeer alternate(SmtpPeer::AcceptAll);
  Configure([&](Settings& s) { s.Alternate = alternate.server(); });
  std::string refused;
  {
    SmtpPeer closed(SmtpPeer::AcceptAll);
    refused = closed.server();
  }
  Spool("953.tml", test::WorkedExample());
  EXPECT_TRUE(Deliver("953.tml", 2, refused));
  EXPECT_EQ(alternate.Connections(), 1);
  EXPECT_EQ(LogContent().find("can't connect"), std::string::npos);
}

TEST_F(DeliverRecipientTest, ANoticeThatCannotBeWrittenLeavesTheRecipientPending) {
  struct Case {
    const char* what;
    std::function<void()> arrange;  // run before the delivery
    bool stopAtRcpt;
    const char* why;  // in the log line
  };
  std::unique_ptr<FileSizeCap> cap;
  const Case cases[] = {
      {"template removed while running", [&] { ASSERT_TRUE(RemoveFile(appDir().File("error"))); }, false,
       "template error"},
      {"disk full", [&] { cap = std::make_unique<FileSizeCap>(1); }, false, "File too large"},
      {"registry emptied", [&] {
         MailSummary summary;  // each case registered the file once more
         while (relay().outgoing.GetSummary("953.tml", summary)) relay().outgoing.RemoveWorker("953.tml");
       }, false, "message not registered"},
      {"shutdown", [] {}, true, "Operation canceled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bool stopping = c.stopAtRcpt;
    SmtpPeer peer([this, stopping](int, const std::string& line) -> std::string {
      if (line.rfind("RCPT", 0) == 0) {
        if (stopping) stop.Set();
        return "550 No such user\r\n";
      }
      return SmtpPeer::AcceptAll(0, line);
    });
    Spool("953.tml", test::WorkedExample());
    c.arrange();
    EXPECT_FALSE(Deliver("953.tml", 2, peer.server())) << "the run ends, the file is held";
    cap.reset();
    EXPECT_EQ(appDir().Read("953.tml"), test::WorkedExample()) << "the recipient keeps its letter";
    EXPECT_TRUE(Notices("953.tml").empty());
    EXPECT_FALSE(appDir().Exists("953")) << "no half notice left behind";
    // A full disk keeps the line out of the log file; a stop keeps it out of the window.
    const std::string shown = LogContent() + Notifications();
    EXPECT_NE(shown.find(std::string("Error : can't write failure notice for 953.tml (") + c.why), std::string::npos)
        << shown;
    auto tpl = ReadWholeFile(std::string(VELLOMAR_RESOURCES) + "/error");
    appDir().Write("error", tpl.value());
  }
  EXPECT_EQ(relay().queue.size(), 0u) << "no reservation outlives a notice";
}

TEST_F(DeliverRecipientTest, AcceptedDataIsRecordedBeforeQuitWhateverQuitMeets) {
  relay().timings.client = {milliseconds(2000), milliseconds(300), milliseconds(2000)};
  for (const char* quitReply : {"221 bye\r\n", "554 odd\r\n", SmtpPeer::kClose, ""}) {
    SCOPED_TRACE(quitReply);
    std::mutex lock;
    char letterAtQuit = '?';
    SmtpPeer peer([&](int, const std::string& line) -> std::string {
      if (line.rfind("QUIT", 0) != 0) return SmtpPeer::AcceptAll(0, line);
      std::lock_guard<std::mutex> guard(lock);
      letterAtQuit = appDir().Read("953.tml")[LineAt("953.tml", 2).first];
      return quitReply;
    });
    Spool("953.tml", test::WorkedExample());
    EXPECT_TRUE(Deliver("953.tml", 2, peer.server())) << "line 4 is still pending";
    {
      std::lock_guard<std::mutex> guard(lock);
      EXPECT_EQ(letterAtQuit, 'X') << "written before QUIT went out";
    }
    EXPECT_EQ(appDir().Read("953.tml")[LineAt("953.tml", 2).first], 'X');
    EXPECT_TRUE(Notices("953.tml").empty()) << "nothing said to QUIT makes a notice";
  }
  EXPECT_EQ(relay().counters.sentOk, 4u);
}

TEST_F(DeliverRecipientTest, TheReplyToTheEndOfDataMayTakeLongerThanOtherReplies) {
  EXPECT_EQ(ClientTimeouts{}.dataReply, std::chrono::minutes(10));
  relay().timings.client = {milliseconds(2000), milliseconds(200), milliseconds(5000)};
  SmtpPeer peer([](int, const std::string& line) -> std::string {
    // A busy server: its answer to the end of the data comes well after the usual wait.
    if (line == ".\r\n") std::this_thread::sleep_for(milliseconds(800));
    return SmtpPeer::AcceptAll(0, line);
  });
  Spool("953.tml", test::WorkedExample());
  EXPECT_TRUE(Deliver("953.tml", 2, peer.server()));
  EXPECT_EQ(appDir().Read("953.tml")[LineAt("953.tml", 2).first], 'X');
}

// Only a 2xx to the end of the data delivers. Any other reply that is no refusal defers the
// recipient as a 4xx would; a relay that stops taking the data keeps it pending, and nothing
// more goes out on that connection, so the relay never gets a message with a hole in it.
TEST_F(DeliverRecipientTest, OnlyA2xxToTheEndOfTheDataDelivers) {
  relay().timings.client = {milliseconds(2000), milliseconds(1000), milliseconds(2000)};
  struct Case {
    const char* what;
    std::string dataReply;  // to DATA
    std::string endReply;   // to the end of the data
    bool large;
    char letter;
    const char* lastError;  // its start
  };
  const std::string go = "354 go ahead\r\n";
  const Case cases[] = {
      {"250", go, "250 ok\r\n", false, 'X', ""},
      {"354 to the end of the data", go, "354 more\r\n", false, 'S', "354 more"},
      {"a 1xx", go, "150 working\r\n", false, 'S', "150 working"},
      {"no reply code at all", go, "thanks\r\n", false, 'S', "thanks"},
      {"a 4xx cut by bare line feeds: one line kept", go, "451-busy\n.\n", false, 'S', "451-busy . "},
      {"250 to DATA: no data goes out", "250 ok\r\n", "250 ok\r\n", false, 'S', "250 ok"},
      {"a relay that stops reading mid-data", go + SmtpPeer::kStall, "250 ok\r\n", true, 'R', "no reply from "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SmtpPeer peer([&c](int, const std::string& line) {
      if (line == "DATA\r\n") return c.dataReply;
      return line == ".\r\n" ? c.endReply : SmtpPeer::AcceptAll(0, line);
    });
    Spool("953.tml", c.large ? test::LargeMessage() : "HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<r>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n");
    EXPECT_FALSE(Deliver("953.tml", 2, peer.server()));
    EXPECT_EQ(appDir().Read("953.tml")[LineAt("953.tml", 2).first], c.letter);
    EXPECT_EQ(LastDeliveryError(relay(), "953.tml", "RCPT TO:<r>\r\n").rfind(c.lastError, 0), 0u)
        << LastDeliveryError(relay(), "953.tml", "RCPT TO:<r>\r\n");
    ASSERT_TRUE(test::Eventually([&] { return peer.Ended() == 1; })) << "the client closed the connection";
    Lines got = peer.Transcripts()[0];
    EXPECT_TRUE(test::NoHole(got));
    bool ended = std::find(got.begin(), got.end(), ".\r\n") != got.end();
    EXPECT_EQ(ended, c.dataReply == go) << "the end of the data went out";
  }
  EXPECT_EQ(relay().counters.sentOk, 1u);
}

TEST_F(DeliverRecipientTest, ALongLineEndingInADotIsNotTheEndOfTheData) {
  const std::string longLine = std::string(1000, 'a') + ".\r\n";  // read in pieces: 1000 bytes, then ".\r\n"
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Spool("953.tml", "HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<r>\r\nDATA\r\n" + longLine + "x\r\n.\r\nQUIT\r\n");
  EXPECT_FALSE(Deliver("953.tml", 2, peer.server()));
  EXPECT_EQ(appDir().Read("953.tml")[LineAt("953.tml", 2).first], 'X');
  Lines want = {"HELO a\r\n", "MAIL FROM:<s>\r\n", "RCPT TO:<r>\r\n", "DATA\r\n", longLine, "x\r\n", ".\r\n", "QUIT\r\n"};
  EXPECT_EQ(peer.Transcripts()[0], want);
}

// A hop is carried by the transport it names; a name no transport has makes no attempt.
TEST_F(DeliverRecipientTest, AHopCarriedByNoKnownTransportMakesNoAttempt) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Spool("953.tml", test::WorkedExample());
  auto [position, line] = LineAt("953.tml", 2);
  SpoolFile file = Open("953.tml");
  Route route = RouteVia(*relay().settings(), peer.server());
  route.hops[0].transport = "pigeon";
  EXPECT_FALSE(DeliverAlongRoute(relay(), *relay().settings(), file, "953.tml", route, line, position));
  EXPECT_EQ(peer.Connections(), 0);
  EXPECT_EQ(appDir().Read("953.tml"), test::WorkedExample());
  EXPECT_NE(LogContent().find("Error : no transport named pigeon\r\n"), std::string::npos);
}

TEST_F(DeliverRecipientTest, ALetterThatCannotBeWrittenIsLoggedAndEndsTheRun) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Spool("953.tml", test::WorkedExample());
  auto [position, line] = LineAt("953.tml", 2);
  SpoolFile file = Open("953.tml");
  bool goOn;
  {
    FileSizeCap cap(static_cast<rlim_t>(position));  // the letter's byte lies past the cap
    Configure([&](Settings& s) { s.SMTP = peer.server(); });
    goOn = DeliverAlongRoute(relay(), *relay().settings(), file, "953.tml", RouteVia(*relay().settings(), peer.server()),
                             line, position);
  }
  EXPECT_FALSE(goOn) << "the worker must end the run and hold the file";
  EXPECT_TRUE(file.WriteFailed());
  EXPECT_EQ(appDir().Read("953.tml"), test::WorkedExample());
  EXPECT_NE(Notifications().find("Error : can't record a recipient's state in 953.tml: File too large"), std::string::npos);
}

}  // namespace
}  // namespace vellomar
