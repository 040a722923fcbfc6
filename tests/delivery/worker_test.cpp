#include "delivery/worker.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "common/ip_address.h"
#include "common/system_error.h"
#include "delivery/delivery_notes.h"
#include "delivery/own_addresses.h"
#include "delivery_fixture.h"
#include "dns/mx_resolver.h"
#include "sign_in/sign_ins.h"
#include "support/dns_peer.h"
#include "support/loopback.h"
#include "support/smtp_peer.h"

namespace vellomar {
namespace {

using test::DnsPeer;
using test::DnsReply;
using test::SmtpPeer;
using Texts = std::vector<std::string>;

class WorkerTest : public test::DeliveryFixture {
 protected:
  // As the dispatcher hands a file over: the name held, the entry registered.
  int RunWorker(const std::string& name) {
    {
      relay().queue.Add(name);
    }
    // As the dispatcher does: started and registered under one hold, so that the worker's
    // summary finds its entry.
    std::shared_ptr<ThreadHandle> thread = relay().outgoing.Launch(name, [this, name] {
      return relay().threads().Start([this, name](ThreadHandle&) { return WorkerThread(relay(), relay().delivery(), name); });
    });
    EXPECT_NE(thread, nullptr);
    if (thread == nullptr) return -1;
    EXPECT_TRUE(thread->WaitFor(std::chrono::seconds(30)));
    return thread->ExitCode();
  }
  bool Held(const std::string& name) {
    return relay().queue.Contains(name);
  }
  bool Registered(const std::string& name) {
    MailSummary summary;
    return relay().outgoing.GetSummary(name, summary);
  }
  static std::string Rcpts(const SmtpPeer& peer, std::vector<std::vector<std::string>> transcripts) {
    std::string rcpts;
    for (const auto& transcript : transcripts) {
      for (const std::string& line : transcript) {
        if (line.rfind("RCPT", 0) == 0) rcpts += line;
      }
    }
    (void)peer;
    return rcpts;
  }
  // A DNS server answering every MX query with the given exchanger (none when empty).
  static DnsPeer::Script MxAnswer(std::string exchanger) {
    return [exchanger](const std::vector<uint8_t>& query) {
      uint16_t id = static_cast<uint16_t>(query[0] << 8 | query[1]);
      DnsReply reply(id, exchanger.empty() ? 0 : 1, "example.org");
      if (!exchanger.empty()) reply.Mx(10, exchanger);
      return DnsPeer::Answer{reply.Build(), {}};
    };
  }
  // A DNS server holding one zone: every MX query is answered with `exchangers` (preferences
  // 20, 30, ...), an AAAA or A query for one of `hosts` with its addresses of that family.
  static DnsPeer::Script Zone(std::vector<std::string> exchangers, std::map<std::string, Texts> hosts) {
    return [=](const std::vector<uint8_t>& query) {
      std::string name;
      for (size_t at = 12; at < query.size() && query[at] != 0; at += query[at] + 1u) {
        name += (name.empty() ? "" : ".") + std::string(query.begin() + static_cast<long>(at) + 1,
                                                         query.begin() + static_cast<long>(at) + 1 + query[at]);
      }
      const uint8_t type = query[query.size() - 3];
      Texts records = type == 15 ? exchangers : Texts{};
      for (const std::string& address : hosts.count(name) != 0 ? hosts.at(name) : Texts{}) {
        if ((address.find(':') != std::string::npos) == (type == 28)) records.push_back(address);
      }
      DnsReply reply = DnsReply::To(query, static_cast<uint16_t>(records.size()));
      uint16_t preference = 10;
      for (const std::string& record : records) type == 15 ? reply.Mx(preference += 10, record) : reply.Address(record);
      return DnsPeer::Answer{reply.Build(), {}};
    };
  }
  static std::string Port(int port) { return ":" + std::to_string(port); }
  const std::string file = "HELO a\r\nMAIL FROM:<s@example.net>\r\nRCPT TO:<bob@example.org>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n";
};

TEST_F(WorkerTest, AllDeliveredDeletesTheFileAndReleasesItsName) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  appDir().Write("953.tml", test::WorkedExample());
  EXPECT_EQ(RunWorker("953.tml"), 1);
  EXPECT_FALSE(appDir().Exists("953.tml"));
  EXPECT_FALSE(Held("953.tml"));
  EXPECT_FALSE(Registered("953.tml"));
  EXPECT_EQ(peer.Connections(), 2);
  EXPECT_EQ(relay().counters.sentOk, 2u);
}

// A next relay that takes several messages per connection gets all of a message's recipients
// in one transaction: each refusal settles its own recipient as its reply comes, as that
// recipient's own transaction would have, and the data goes once to those taken. A session
// whose every recipient was refused is made ready for the next message with RSET.
TEST_F(WorkerTest, OneTransactionForAllRecipientsSettlesEachByItsOwnReply) {
  relay().timings.sessionLinger = std::chrono::milliseconds(50);
  SmtpPeer peer([](int connection, const std::string& line) {
    if (line.find("<gone@") != std::string::npos) return std::string("550 no such user\r\n");
    if (line.find("<busy@") != std::string::npos) return std::string("451 busy\r\n");
    return SmtpPeer::AcceptAll(connection, line);
  });
  Configure([&](Settings& s) {
    s.SMTP = peer.server();
    s.MessagesPerConnection = 10;
    s.Logabo = s.Logdel = true;
  });
  const std::string head = "HELO a\r\nMAIL FROM:<s@example.net>\r\n";
  const std::string body = "DATA\r\nSubject: s\r\n\r\nx\r\n.\r\nQUIT\r\n";
  auto rcpts = [](const std::string& letters) {
    std::string zone;
    const char* names[] = {"a", "gone", "busy", "b"};
    for (size_t i = 0; i < letters.size(); ++i) zone += letters[i] + std::string("CPT TO:<") + names[i] + "@example.org>\r\n";
    return zone;
  };
  appDir().Write("1.tml", head + rcpts("RRRR") + body);
  EXPECT_EQ(RunWorker("1.tml"), 0) << "one recipient waits";
  EXPECT_EQ(appDir().Read("1.tml"), head + rcpts("XXSX") + body);
  const Texts want = {"HELO a\r\n", "MAIL FROM:<s@example.net>\r\n", "RCPT TO:<a@example.org>\r\n",
                      "RCPT TO:<gone@example.org>\r\n", "RCPT TO:<busy@example.org>\r\n", "RCPT TO:<b@example.org>\r\n",
                      "DATA\r\n", "Subject: s\r\n", "\r\n", "x\r\n", ".\r\n", "QUIT\r\n"};
  ASSERT_EQ(peer.Transcripts().size(), 1u);
  EXPECT_EQ(peer.Transcripts()[0], want);
  auto notices = Notices("1.tml");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(appDir().Read(notices[0]).find("Mail to :<gone@example.org>\r\n"), std::string::npos);
  EXPECT_NE(appDir().Read(notices[0]).find("Server replyed : \r\n550 no such user\r\n"), std::string::npos);
  EXPECT_EQ(LastDeliveryError(relay(), "1.tml", "RCPT TO:<busy@example.org>\r\n"), "451 busy");
  EXPECT_NE(LogContent().find("Sending to <gone@example.org> aborted (5xx STMP error)\r\n"), std::string::npos);
  EXPECT_NE(LogContent().find("Sending to <busy@example.org> delayed (4xx STMP error)\r\n"), std::string::npos);
  EXPECT_EQ(relay().counters.sentAll, 4u);
  EXPECT_EQ(relay().counters.sentOk, 2u);

  appDir().Write("2.tml", head + "RCPT TO:<gone@example.org>\r\n" + body);
  EXPECT_EQ(RunWorker("2.tml"), 1) << "its only recipient given up: the file goes";
  ASSERT_EQ(peer.Transcripts().size(), 2u);
  EXPECT_EQ(peer.Transcripts()[1], (Texts{"HELO a\r\n", "MAIL FROM:<s@example.net>\r\n", "RCPT TO:<gone@example.org>\r\n",
                                          "RSET\r\n", "QUIT\r\n"}));
}

TEST_F(WorkerTest, ADeferredRecipientKeepsTheFileHeldForALaterRun) {
  SmtpPeer peer([](int connection, const std::string& line) {
    return line == "RCPT TO:<second address>\r\n" ? std::string("452 full\r\n") : SmtpPeer::AcceptAll(connection, line);
  });
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  appDir().Write("953.tml", test::WorkedExample());
  EXPECT_EQ(RunWorker("953.tml"), 0);
  const std::string after = appDir().Read("953.tml");
  EXPECT_NE(after.find("XCPT TO:<first address>\r\nSCPT TO:<second address>\r\n"), std::string::npos);
  EXPECT_TRUE(Held("953.tml"));
  EXPECT_FALSE(Registered("953.tml"));

  // The next run serves only the deferred line.
  {
    relay().queue.Discard("953.tml", false);
  }
  EXPECT_EQ(RunWorker("953.tml"), 0);
  EXPECT_NE(appDir().Read("953.tml").find("TCPT TO:<second address>"), std::string::npos);
  auto transcripts = peer.Transcripts();
  ASSERT_EQ(transcripts.size(), 3u);
  EXPECT_EQ(Rcpts(peer, {transcripts[2]}), "RCPT TO:<second address>\r\n");
}

// The worked example arrived on Sun, 6 Dec 2026 at 07:05:03 UTC, as its trace header says.
TEST_F(WorkerTest, ARecipientPendingPastTheLifetimeIsGivenUpWithOneNotice) {
  const auto arrival = std::chrono::system_clock::from_time_t(1796540703);
  auto now = arrival;
  relay().queue.SetScheduleWallClock([&now] { return now; });
  std::string dead;
  {
    SmtpPeer closed(SmtpPeer::AcceptAll);
    dead = closed.server();
  }
  Configure([&](Settings& s) { s.SMTP = dead; });
  Configure([&](Settings& s) { s.Lifetime = 5; });
  std::string content = test::WorkedExample();
  content.erase(content.find("RCPT TO:<second address>\r\n"), 26);
  appDir().Write("953.tml", content);
  auto run = [&](std::chrono::hours age) {
    now = arrival + age;
    relay().queue.Clear(false);
  };
  run(std::chrono::hours(9 * 24));
  EXPECT_EQ(RunWorker("953.tml"), 0);
  EXPECT_TRUE(Notices("953.tml").empty()) << "never given up before a try in this run";
  EXPECT_EQ(appDir().Read("953.tml"), content);
  run(std::chrono::hours(4 * 24));
  EXPECT_EQ(RunWorker("953.tml"), 0);
  EXPECT_TRUE(Notices("953.tml").empty()) << "4 days old: kept";
  EXPECT_EQ(appDir().Read("953.tml"), content);

  Configure([&](Settings& s) { s.Lifetime = 0; });
  run(std::chrono::hours(60 * 24));
  EXPECT_EQ(RunWorker("953.tml"), 0);
  EXPECT_TRUE(Notices("953.tml").empty()) << "Lifetime 0: never given up";

  Configure([&](Settings& s) { s.Lifetime = 5; });
  run(std::chrono::hours(6 * 24 + 3));
  EXPECT_EQ(RunWorker("953.tml"), 1) << "the only recipient given up: the file goes";
  EXPECT_FALSE(appDir().Exists("953.tml"));
  auto notices = Notices("953.tml");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(appDir().Read(notices[0]).find("could not be delivered for 6 days: can't connect to " + dead),
            std::string::npos)
      << appDir().Read(notices[0]);
}

TEST_F(WorkerTest, AFileWithoutTraceHeaderIsAgedFromWhenItWasFirstSeen) {
  auto now = RetrySchedule::TimePoint(std::chrono::hours(1000));
  relay().queue.SetScheduleClock([&now] { return now; });
  Configure([&](Settings& s) { s.SMTP = ""; });
  Configure([&](Settings& s) { s.Lifetime = 2; });
  const std::string notice = "HELO relay\r\nMAIL FROM:<>\r\nRCPT TO:<ann@example.org>\r\nDATA\r\n\r\nx\r\n.\r\nQUIT\r\n";
  appDir().Write("1.tml", notice);
  EXPECT_EQ(RunWorker("1.tml"), 0);
  now += std::chrono::hours(47);
  relay().queue.Clear(false);
  EXPECT_EQ(RunWorker("1.tml"), 0);
  EXPECT_EQ(appDir().Read("1.tml"), notice) << "under two days since first seen";
  now += std::chrono::hours(2);
  relay().queue.Clear(false);
  EXPECT_EQ(RunWorker("1.tml"), 1) << "a notice about a notice is not written; the recipient goes";
  EXPECT_TRUE(Notices("1.tml").empty());
}

TEST_F(WorkerTest, SimpleRelayingWithoutARelayMakesNoAttempt) {
  Configure([&](Settings& s) { s.SMTP = ""; });
  appDir().Write("953.tml", test::WorkedExample());
  EXPECT_EQ(RunWorker("953.tml"), 0);
  EXPECT_EQ(appDir().Read("953.tml"), test::WorkedExample());
  EXPECT_TRUE(Held("953.tml"));
  EXPECT_EQ(relay().counters.sentAll, 0u);
}

TEST_F(WorkerTest, TrueRelayingGoesToTheExchangerElseTheAlternateElseNowhere) {
  // A sign-in is the next relay's alone: one that cannot be made stops no exchanger.
  Configure([&](Settings& s) { s.REAL_RELAY = true; s.SMTP_OAuth = "google"; });
  relay().timings.dnsWait = std::chrono::milliseconds(300);
  const std::string file = "HELO a\r\nMAIL FROM:<s@example.net>\r\nRCPT TO:<bob@example.org>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n";

  SmtpPeer exchanger(SmtpPeer::AcceptAll);
  DnsPeer withMx(MxAnswer(exchanger.server()));
  Configure([&](Settings& s) { s.DNS = withMx.server(); });
  appDir().Write("1.tml", file);
  EXPECT_EQ(RunWorker("1.tml"), 1);
  EXPECT_EQ(exchanger.Connections(), 1);

  SmtpPeer alternate(SmtpPeer::AcceptAll);
  DnsPeer withoutMx(MxAnswer(""));
  Configure([&](Settings& s) { s.DNS = withoutMx.server(); });
  Configure([&](Settings& s) { s.Alternate = alternate.server(); });
  appDir().Write("2.tml", file);
  EXPECT_EQ(RunWorker("2.tml"), 1);
  EXPECT_EQ(alternate.Connections(), 1);
  EXPECT_NE(LogContent().find("Warning : Using alternative SMTP server for domain example.org\r\n"), std::string::npos);

  Configure([&](Settings& s) { s.Alternate = ""; });
  appDir().Write("3.tml", file);
  EXPECT_EQ(RunWorker("3.tml"), 0);
  EXPECT_EQ(appDir().Read("3.tml"), file);
  EXPECT_NE(LogContent().find("Error : no MX server found for domain example.org\r\n"), std::string::npos);
  EXPECT_EQ(LogContent().find("sign in"), std::string::npos);
}

// An exchanger, next relay or alternate server that resolves to the relay's own listener is
// passed over: the mail would come straight back, round and round. A recipient with no other
// way waits, the loop its last error. An exchanger written as an address is dialled all the
// same, with a warning said once.
TEST_F(WorkerTest, AHopThatLoopsBackToTheRelayItselfIsPassedOver) {
  const std::string port = std::to_string(StartListener());
  const std::string own = "127.0.0.1:" + port;
  relay().timings.dnsWait = std::chrono::milliseconds(300);
  SmtpPeer exchanger(SmtpPeer::AcceptAll);
  DnsPeer ownFirst(Zone({own, exchanger.server()}, {}));
  Configure([&](Settings& s) {
    s.REAL_RELAY = true;
    s.DNS = ownFirst.server();
  });
  const std::string rcpt = "RCPT TO:<bob@example.org>\r\n";
  for (const char* name : {"1.tml", "2.tml"}) {
    appDir().Write(name, file);
    EXPECT_EQ(RunWorker(name), 1) << name;
  }
  EXPECT_EQ(exchanger.Connections(), 2);
  std::string log = LogContent();
  EXPECT_NE(log.find("Warning : mail exchanger " + own + " loops back to myself ([127.0.0.1]:" + port + "), passed over\r\n"),
            std::string::npos) << log;
  const std::string numeric = "Warning : mail exchanger " + exchanger.server() + " of domain example.org is an address";
  EXPECT_NE(log.find(numeric), std::string::npos) << log;
  EXPECT_EQ(log.find(numeric, log.find(numeric) + 1), std::string::npos) << "said once";

  // No other way: the exchanger and the alternate server (by another name) are the relay itself.
  DnsPeer ownAlone(MxAnswer(own));
  Configure([&](Settings& s) {
    s.DNS = ownAlone.server();
    s.Alternate = "localhost:" + port;
  });
  appDir().Write("3.tml", file);
  EXPECT_EQ(RunWorker("3.tml"), 0);
  EXPECT_EQ(appDir().Read("3.tml"), file);
  EXPECT_EQ(LastDeliveryError(relay(), "3.tml", rcpt), "localhost:" + port + " loops back to myself");

  // A next relay on another of this machine's addresses, the listener's port.
  Configure([&](Settings& s) {
    s.REAL_RELAY = false;
    s.SMTP = "127.0.0.2:" + port;
  });
  appDir().Write("4.tml", file);
  EXPECT_EQ(RunWorker("4.tml"), 0);
  EXPECT_EQ(appDir().Read("4.tml"), file);
  EXPECT_EQ(LastDeliveryError(relay(), "4.tml", rcpt), "127.0.0.2:" + port + " loops back to myself");
  EXPECT_NE(LogContent().find("Error : 127.0.0.2:" + port + " loops back to myself, and no other server takes <bob@example.org>"),
            std::string::npos);
  EXPECT_EQ(relay().counters.receivedAll, 0u) << "nothing reached the relay's own listener";
}

// The relay's own listening addresses: its ports on loopback, the unspecified address and the
// machine's interfaces, whatever the family an IPv4 address is written in.
TEST(OwnAddressesTest, TheListenersPortsOnThisMachinesAddresses) {
  auto at = [](const std::string& text, uint16_t port) {
    IpAddress ip = *ParseIpAddress(text);
    return ip.IsIpv4() ? SocketAddress::Ipv4(ip.bytes.data() + 12, port) : SocketAddress::Ipv6(ip.bytes.data(), port);
  };
  const OwnAddresses own({2525, 465}, {at("192.0.2.7", 0), at("2001:db8::7", 0)});
  const std::pair<SocketAddress, bool> cases[] = {
      {at("127.0.0.1", 2525), true},  {at("127.0.0.9", 465), true},   {at("0.0.0.0", 2525), true},
      {at("::", 2525), true},         {at("::1", 465), true},         {at("192.0.2.7", 2525), true},
      {at("::ffff:192.0.2.7", 465), true}, {at("2001:db8::7", 2525), true}, {at("192.0.2.8", 2525), false},
      {at("127.0.0.1", 25), false},   {at("2001:db8::8", 465), false},
  };
  for (const auto& [address, want] : cases) EXPECT_EQ(own.Contains(address), want) << address.HostText() << " " << address.port();
  EXPECT_TRUE(OwnAddresses({}, {}).empty());
}

// Until the next relay's sign-in gives a token, its mail waits without a connection: values
// that name no sign-in are logged each try, a sign-in never made once. One token source serves
// every delivery of a sign-in; another mailbox is another sign-in.
TEST_F(WorkerTest, MailForTheNextRelayWaitsUntilItsSignInGivesAToken) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  struct Case {
    std::string provider, client, user, log;
  };
  const Case cases[] = {
      {"google", "", "ann@example.org", "Error : can't sign in: SMTP_OAuthClientId is empty\r\n"},
      {"google", "c1", "", "Error : can't sign in: SMTP_User is empty: it names the mailbox to sign in as\r\n"},
      {"yahoo", "c1", "ann@example.org", "Error : can't sign in: SMTP_OAuth is yahoo, not microsoft, google or custom\r\n"},
      {"google", "c1", "ann@example.org", "Error : not signed in to Google: sign in first\r\n"},
  };
  for (const Case& c : cases) {
    Configure([&](Settings& s) {
      s.SMTP = peer.server();
      s.SMTP_OAuth = c.provider;
      s.SMTP_OAuthClientId = c.client;
      s.SMTP_User = c.user;
    });
    for (int run = 0; run < 2; ++run) {
      appDir().Write("1.tml", test::WorkedExample());
      EXPECT_EQ(RunWorker("1.tml"), 0) << c.log;
      EXPECT_EQ(appDir().Read("1.tml"), test::WorkedExample()) << c.log;
    }
    size_t first = LogContent().find(c.log);
    EXPECT_NE(first, std::string::npos) << c.log;
    const bool once = c.log.find("not signed in") != std::string::npos;
    EXPECT_EQ(LogContent().find(c.log, first + 1) == std::string::npos, once) << c.log;
  }
  EXPECT_EQ(peer.Connections(), 0);
  EXPECT_NE(LogContent().find("Sign-in tokens for Google are kept in the file " + appDir().path() + "/signin-"),
            std::string::npos);

  SignIns& signIns = relay().delivery().signIns;
  Settings bob = *relay().settings();
  bob.SMTP_User = "bob@example.org";
  SignIns::Choice ann = signIns.For(NextRelaySignIn(*relay().settings()));
  EXPECT_EQ(signIns.For(NextRelaySignIn(*relay().settings())).tokens, ann.tokens);
  EXPECT_NE(signIns.For(NextRelaySignIn(bob)).account, ann.account);
  EXPECT_NE(signIns.For(NextRelaySignIn(bob)).tokens, ann.tokens);
}

// An exchanger's addresses come from the DNS server, IPv6 first; one that does not connect
// gives way to the next, and `IPFamily` keeps to one family.
TEST_F(WorkerTest, TrueRelayingTriesEachAddressOfAnExchanger) {
  if (!test::HasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  Configure([&](Settings& s) { s.REAL_RELAY = true; });
  SmtpPeer onIpv6(SmtpPeer::AcceptAll, "220 peer ready\r\n", "::1");
  const std::string both = "both.test" + Port(onIpv6.port());
  SmtpPeer second(SmtpPeer::AcceptAll, "220 peer ready\r\n", "127.0.0.3");
  const std::string two = "two.test" + Port(second.port());
  struct Case {
    std::string exchanger;
    std::string family;
    int exitCode;
    std::string log;
  };
  const Case cases[] = {
      {both, "any", 1, "Connected to " + both + " [::1]\r\n"},
      {two, "any", 1, "Connected to " + two + " [127.0.0.3]\r\n"},
      {both, "ipv4", 0, "Error : can't connect to " + both + "\r\n"},
      {two, "ipv6", 0, "Error : can't find IP for " + two + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exchanger + " " + c.family);
    DnsPeer withMx(Zone({c.exchanger}, {{"both.test", {"127.0.0.1", "::1"}}, {"two.test", {"127.0.0.2", "127.0.0.3"}}}));
    Configure([&](Settings& s) {
      s.DNS = withMx.server();
      s.IPFamily = c.family;
    });
    appDir().Write("1.tml", file);
    EXPECT_EQ(RunWorker("1.tml"), c.exitCode);
    EXPECT_NE(LogContent().find(c.log), std::string::npos) << LogContent();
    for (const auto& query : withMx.Queries()) {
      if (c.family != "any") {
        EXPECT_NE(query[query.size() - 3], c.family == "ipv4" ? 28 : 1);
      }
    }
  }
  EXPECT_EQ(onIpv6.Connections(), 1) << "never touched under ipv4";
  EXPECT_EQ(second.Connections(), 1);
}

// Every exchanger in order: the first refusing connections, the second answering 451, the
// third taking the mail; a temporary refusal counts only when no later exchanger settles it.
TEST_F(WorkerTest, TrueRelayingTriesEveryExchangerInTurn) {
  Configure([&](Settings& s) { s.REAL_RELAY = true; });
  std::string refusing;
  {
    SmtpPeer closed(SmtpPeer::AcceptAll);
    refusing = closed.server();
  }
  SmtpPeer busy([](int connection, const std::string& line) {
    return line.rfind("RCPT", 0) == 0 ? std::string("451 busy\r\n") : SmtpPeer::AcceptAll(connection, line);
  });
  SmtpPeer taking(SmtpPeer::AcceptAll);
  DnsPeer dns(Zone({refusing, busy.server(), taking.server()}, {}));
  Configure([&](Settings& s) { s.DNS = dns.server(); });
  appDir().Write("1.tml", file);
  EXPECT_EQ(RunWorker("1.tml"), 1);
  EXPECT_FALSE(appDir().Exists("1.tml"));
  EXPECT_EQ(busy.Connections(), 1);
  ASSERT_EQ(taking.Connections(), 1);
  EXPECT_EQ(taking.Transcripts()[0].back(), "QUIT\r\n");
  const std::string log = LogContent();
  size_t first = log.find("Warning : Using next mail exchanger " + busy.server() + " for email :1.tml (can't connect to " +
                          refusing + ")\r\n");
  size_t second = log.find("Warning : Using next mail exchanger " + taking.server() + " for email :1.tml (" +
                           busy.server() + ": 451 busy)\r\n");
  EXPECT_LT(first, second) << log;
  EXPECT_NE(second, std::string::npos) << log;

  // Only the busy one answers: the letter advances once, with its reply as the last error.
  DnsPeer noneTaking(Zone({busy.server(), refusing}, {}));
  Configure([&](Settings& s) { s.DNS = noneTaking.server(); });
  appDir().Write("2.tml", file);
  EXPECT_EQ(RunWorker("2.tml"), 0);
  EXPECT_NE(appDir().Read("2.tml").find("\r\nSCPT TO:<bob@example.org>\r\n"), std::string::npos);
  EXPECT_EQ(LastDeliveryError(relay(), "2.tml", "RCPT TO:<bob@example.org>\r\n"), "451 busy");
}

TEST_F(WorkerTest, ARecipientWithoutDomainIsGivenUpAloneInTrueRelaying) {
  Configure([&](Settings& s) { s.REAL_RELAY = true; });
  SmtpPeer exchanger(SmtpPeer::AcceptAll);
  DnsPeer dns(MxAnswer(exchanger.server()));
  Configure([&](Settings& s) { s.DNS = dns.server(); });
  appDir().Write("1.tml", "HELO a\r\nMAIL FROM:<s@example.net>\r\nRCPT TO:<a@example.org>\r\nRCPT TO:<postmaster>\r\n"
                          "RCPT TO:<b@example.org>\r\nDATA\r\nSubject: s\r\n\r\nx\r\n.\r\nQUIT\r\n");
  EXPECT_EQ(RunWorker("1.tml"), 1);
  EXPECT_EQ(Rcpts(exchanger, exchanger.Transcripts()), "RCPT TO:<a@example.org>\r\nRCPT TO:<b@example.org>\r\n");
  auto notices = Notices("1.tml");
  ASSERT_EQ(notices.size(), 1u);
  const std::string notice = appDir().Read(notices[0]);
  EXPECT_NE(notice.find("Mail to :<postmaster>\r\n"), std::string::npos);
  EXPECT_NE(notice.find("Server replyed : \r\nno domain in recipient address\r\n"), std::string::npos);
}

// What became of a message is told to those who watch the relay: the account's last success
// and failure for `vellomar --status`, and a recipient given up as a desktop notification.
TEST_F(WorkerTest, WhatBecameOfTheMailIsToldToItsWatchers) {
  SmtpPeer peer([](int connection, const std::string& line) {
    if (line == "RCPT TO:<second address>\r\n") return std::string("550 5.1.1 no such user\r\n");
    return SmtpPeer::AcceptAll(connection, line);
  });
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  controls.SetTray(true);
  appDir().Write("953.tml", test::WorkedExample());
  EXPECT_EQ(RunWorker("953.tml"), 1);
  RelayStatusFile status = relay().statusBoard().Snapshot();
  ASSERT_EQ(status.accounts.count("default"), 1u);
  const AccountStatus& account = status.accounts["default"];
  EXPECT_TRUE(account.lastSuccess.has_value());
  EXPECT_TRUE(account.lastFailure.has_value());
  EXPECT_EQ(account.lastFailureReason, "<second address>: 550 5.1.1 no such user");
  windowThread.Invoke([this] { mainWindow.ShowDueNotifications(std::chrono::steady_clock::now() + std::chrono::seconds(6)); });
  EXPECT_EQ(controls.Notifications(),
            (std::vector<MemoryControls::Notification>{
                {"Recipient given up", "<second address>: 550 5.1.1 no such user. Its sender gets a failure notice.", ""}}));
}

TEST_F(WorkerTest, FilesWithoutPendingRecipients) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  // Taken again after an interruption: every recipient was finished.
  appDir().Write("done.tml", "HELO a\r\nMAIL FROM:<s>\r\nXCPT TO:<a>\r\nxcpt to:<b>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n");
  EXPECT_EQ(RunWorker("done.tml"), 1);
  EXPECT_FALSE(appDir().Exists("done.tml"));
  EXPECT_TRUE(Notices("").empty()) << "no notice for a finished file";

  appDir().Write("none.tml", "HELO a\r\nMAIL FROM:<s>\r\nDATA\r\nSubject: t\r\n\r\nx\r\n.\r\nQUIT\r\n");
  EXPECT_EQ(RunWorker("none.tml"), 0);
  EXPECT_FALSE(appDir().Exists("none.tml"));
  auto notices = Notices("");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(appDir().Read(notices[0]).find("Mail to :(subject : )\r\n"), std::string::npos)
      << "no recipient run, so no subject search; the DATA line has no colon";
  EXPECT_NE(appDir().Read(notices[0]).find("unexpected EOF (missing recipient)\r\n"), std::string::npos);
  EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(WorkerTest, ABodyLineThatLooksLikeARecipientIsNeverOne) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  const std::string body = "Subject: quoting\r\n\r\nRCPT TO:<evil@example.org>\r\n.\r\nQUIT\r\n";
  appDir().Write("1.tml", "HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<ok@example.org>\r\nDATA\r\n" + body);
  EXPECT_EQ(RunWorker("1.tml"), 1);
  EXPECT_EQ(peer.Connections(), 1);
  EXPECT_EQ(Rcpts(peer, peer.Transcripts()), "RCPT TO:<ok@example.org>\r\nRCPT TO:<evil@example.org>\r\n")
      << "the quoted line went out as body text, after DATA";
  auto transcript = peer.Transcripts()[0];
  EXPECT_EQ(std::find(transcript.begin(), transcript.end(), "RCPT TO:<evil@example.org>\r\n") - transcript.begin(), 6);
}

TEST_F(WorkerTest, AFileThatCannotBeOpenedIsKeptAndHeld) {
  ASSERT_EQ(::mkdir(appDir().File("odd.tml").c_str(), 0755), 0);
  EXPECT_EQ(RunWorker("odd.tml"), 0);
  EXPECT_EQ(controls.SystemErrors(), std::vector<std::string>{SystemErrorText(EISDIR)});
  EXPECT_EQ(relay().counters.sentAll, 1u);
  EXPECT_TRUE(Held("odd.tml"));
  EXPECT_FALSE(Registered("odd.tml"));
  EXPECT_TRUE(appDir().Exists("odd.tml"));
}

TEST_F(WorkerTest, SummaryIsPublishedBeforeDelivery) {
  MailSummary seen;
  std::mutex seenLock;
  SmtpPeer peer([&](int connection, const std::string& line) {
    if (line.rfind("HELO", 0) == 0) {
      std::lock_guard<std::mutex> seenGuard(seenLock);
      relay().outgoing.GetSummary("953.tml", seen);
    }
    return SmtpPeer::AcceptAll(connection, line);
  });
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  appDir().Write("953.tml", test::WorkedExample());
  RunWorker("953.tml");
  std::lock_guard<std::mutex> seenGuard(seenLock);
  EXPECT_EQ(seen.sender, "<sender address>\r\n");
  EXPECT_EQ(seen.recipientCount, 2);
  EXPECT_EQ(seen.subject, "Hello\r\n");
  EXPECT_EQ(seen.size, static_cast<int32_t>(test::WorkedExample().size()));
}

TEST_F(WorkerTest, AFileWhoseNoticeCannotBeWrittenIsKeptForTheNextRun) {
  SmtpPeer peer(SmtpPeer::AcceptAll);
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  ASSERT_TRUE(RemoveFile(appDir().File("error")));
  const std::string content = "HELO a\r\nMAIL FROM:<s>\r\nDATA\r\nSubject: t\r\n\r\nx\r\n.\r\nQUIT\r\n";
  appDir().Write("none.tml", content);
  EXPECT_EQ(RunWorker("none.tml"), 0);
  EXPECT_EQ(appDir().Read("none.tml"), content) << "kept, so that the notice is tried again";
  EXPECT_TRUE(Held("none.tml"));
  EXPECT_FALSE(Registered("none.tml"));
  EXPECT_NE(LogContent().find("Error : can't write failure notice for none.tml (template error"), std::string::npos);
}

}  // namespace
}  // namespace vellomar
