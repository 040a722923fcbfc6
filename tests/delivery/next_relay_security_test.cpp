#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "common/base64.h"
#include "common/account_choice.h"
#include "delivery/delivery_notes.h"
#include "delivery/dispatcher.h"
#include "delivery/esmtp_opening.h"
#include "delivery/next_relay_security.h"
#include "delivery/pacing.h"
#include "delivery/relay_sessions.h"
#include "delivery/route.h"
#include "delivery_fixture.h"
#include "platform/socket.h"
#include "sign_in/oauth_tokens.h"
#include "sign_in/token_store.h"
#include "support/eventually.h"
#include "support/oauth_authority.h"
#include "support/test_certificates.h"
#include "support/tls_smtp_peer.h"

namespace vellomar {
namespace {

using test::TlsSmtpPeer;
using Tls = TlsSmtpPeer::Options::Tls;
using std::chrono::milliseconds;

// The settings a case sets; the rest stay empty.
struct Store {
  Store(std::string tls_ = "", std::string user_ = "", std::string password_ = "", std::string command = "",
        std::string auth_ = "", std::string fingerprint_ = "")
      : tls(std::move(tls_)), user(std::move(user_)), password(std::move(password_)),
        passwordCommand(std::move(command)), auth(std::move(auth_)), fingerprint(std::move(fingerprint_)) {}
  std::string tls;
  std::string user;
  std::string password;
  std::string passwordCommand;
  std::string auth;
  std::string fingerprint;
};

// What became of the second line's recipient of the worked example.
enum class Fate { Delivered, Pending, Deferred };

class NextRelaySecurityTest : public test::DeliveryFixture {
 protected:
  NextRelaySecurityTest() : authority(appDir().path(), "trusted") {
    // As in the program: the server side's library writes may meet a closed socket.
    ::signal(SIGPIPE, SIG_IGN);
    // The test authority stands in for the system's trust store.
    ::setenv("SSL_CERT_FILE", authority.authorityFile().c_str(), 1);
    localhost = authority.Issue("localhost", "localhost");
  }
  ~NextRelaySecurityTest() override { ::unsetenv("SSL_CERT_FILE"); }

  void Apply(const Store& store) {
    Configure([&](Settings& settings) {
      settings.SMTP_TLS = store.tls;
      settings.SMTP_User = store.user;
      settings.SMTP_Password = store.password;
      settings.SMTP_PasswordCommand = store.passwordCommand;
      settings.SMTP_Auth = store.auth;
      settings.SMTP_Fingerprint = store.fingerprint;
    });
  }

  TlsSmtpPeer::Options Peer(Tls tls, test::CertificateFiles certificate = {}) {
    TlsSmtpPeer::Options options;
    options.tls = tls;
    options.certificate = certificate.certificate.empty() ? localhost : certificate;
    return options;
  }

  // Spools the message (the worked example) afresh and delivers its first recipient to the peer.
  Fate Run(TlsSmtpPeer& peer, const std::string& host = "localhost", const std::string& message = test::WorkedExample()) {
    Spool("953.tml", message);
    const off_t letter = LineAt("953.tml", 2).first;
    Deliver("953.tml", 2, peer.server(host));
    char now = appDir().Read("953.tml")[letter];
    return now == 'X' ? Fate::Delivered : now == 'R' ? Fate::Pending : Fate::Deferred;
  }

  // No command of a login and no secret went out before TLS was up.
  static void ExpectNoCredentialInTheClear(TlsSmtpPeer& peer, const std::string& secret) {
    for (const auto& transcript : peer.Transcripts()) {
      for (const TlsSmtpPeer::Line& line : transcript) {
        if (line.encrypted) continue;
        EXPECT_NE(line.text.rfind("AUTH", 0), 0u) << line.text;
        EXPECT_EQ(line.text.find(Base64Encode(secret)), std::string::npos) << line.text;
        EXPECT_EQ(line.text.find(Base64Encode(std::string(1, '\0') + "alice")), std::string::npos) << line.text;
      }
    }
  }

  // The first line the server received over TLS, "" when none did.
  static std::string FirstEncrypted(TlsSmtpPeer& peer) {
    for (const auto& transcript : peer.Transcripts()) {
      for (const TlsSmtpPeer::Line& line : transcript) {
        if (line.encrypted) return line.text;
      }
    }
    return "";
  }

  static bool Received(TlsSmtpPeer& peer, const std::string& text, bool encrypted) {
    for (const auto& transcript : peer.Transcripts()) {
      for (const TlsSmtpPeer::Line& line : transcript) {
        if (line.text == text && line.encrypted == encrypted) return true;
      }
    }
    return false;
  }

  // A message of its own: the subject names it.
  static std::string Message(int n, const std::string& sender = "ann@office.example") {
    return "HELO client.example\r\nMAIL FROM:<" + sender + ">\r\nRCPT TO:<a@x.example>\r\n" +
           "RCPT TO:<b@x.example>\r\nDATA\r\nFrom: Ann <" + sender + ">\r\nSubject: m" + std::to_string(n) +
           "\r\n\r\nHi.\r\n.\r\nQUIT\r\n";
  }
  // How often each message's data reached the peer, by subject.
  static std::map<std::string, int> Arrivals(TlsSmtpPeer& peer) {
    std::map<std::string, int> arrivals;
    for (const auto& transcript : peer.Transcripts()) {
      for (const TlsSmtpPeer::Line& line : transcript) {
        if (line.text.rfind("Subject: ", 0) == 0) ++arrivals[line.text.substr(9)];
      }
    }
    return arrivals;
  }
  static int Count(TlsSmtpPeer& peer, const std::string& verb) {
    int count = 0;
    for (const auto& transcript : peer.Transcripts()) {
      for (const TlsSmtpPeer::Line& line : transcript) count += line.text.rfind(verb, 0) == 0 ? 1 : 0;
    }
    return count;
  }
  // Spools `count` messages and runs the dispatcher until every one is settled and every
  // session it left open is closed.
  void DeliverAll(int count, TlsSmtpPeer& peer, const std::function<std::string(int)>& message, size_t left = 0) {
    for (int i = 0; i < count; ++i) appDir().Write(std::to_string(1000 + i) + ".tml", message(i));
    RunDispatcher(peer, left);
  }
  void RunDispatcher(TlsSmtpPeer& peer, size_t left) {
    if (!released) ReleaseClient();
    released = true;
    auto dispatcher = relay().StartClientThread(
        [this](ThreadHandle& self) { return DispatcherThread(relay(), relay().delivery(), self); });
    ASSERT_NE(dispatcher, nullptr);
    EXPECT_TRUE(dispatcher->WaitFor(std::chrono::seconds(50)));
    EXPECT_TRUE(test::Eventually([&] { return relay().outgoing.size() == 0 && Notices("").size() == left; }, 30000));
    EXPECT_TRUE(peer.WaitForEnded(peer.Transcripts().size(), milliseconds(10000))) << "every session is closed";
  }

  test::TestCertificates authority;
  test::CertificateFiles localhost;
  bool released = false;
};

TEST_F(NextRelaySecurityTest, AccountChosenBySender) {
  auto account = [](std::string name, std::string senders) {
    auto values = std::make_shared<Settings>();
    values->Senders = std::move(senders);
    return Account{std::move(name), std::move(values)};
  };
  Settings settings;
  settings.Accounts = {account("a-home", "*@home.example, ann@work.example"), account("b-work", "*@work.example"),
                       account("c-twin", "*@home.example")};
  struct Case {
    std::string sender;
    std::string account;
  };
  const Case cases[] = {
      {"<ann@work.example>", "a-home"},  // an exact address before a domain pattern
      {"<Bob@WORK.example>", "b-work"},  // letter case ignored
      {"<cy@home.example>", "a-home"},   // a tie goes to the first by name
      {"<dan@elsewhere.example>", "default"},
      {"<>", "default"},  // a failure notice goes through the default account
      {"<ann@work.example.evil>", "default"},
  };
  for (const Case& c : cases) EXPECT_EQ(AccountLabel(AccountFor(settings, c.sender)), c.account) << c.sender;
  settings.REAL_RELAY = true;
  EXPECT_EQ(AccountFor(settings, "<ann@work.example>"), nullptr) << "true relaying uses no account";
}

// A session is kept for the values that opened it: a change of the server or its port, the
// TLS, the certificate's check, the user, the secret or where it comes from, or the sign-in
// opens a session of its own; the same values, in another snapshot, find the one kept.
TEST_F(NextRelaySecurityTest, KeptSessionsAreKeyedByEverythingThatOpenedThem) {
  StopFlag stop;
  auto tokensOf = [&stop](std::string clientId) {
    OAuthProvider provider;
    provider.key = "custom";
    provider.tokenUrl = "https://login.example/token";
    provider.clientId = std::move(clientId);
    return std::make_shared<OAuthTokens>(provider, nullptr, nullptr, stop, nullptr);
  };
  Hop base{Hop::Kind::NextRelay, "smtp.example:587", {}, {}};
  base.security.tls = NextRelaySecurity::Tls::StartTls;
  base.security.check = {TlsPeerCheck::Mode::Chain, "smtp.example", ""};
  base.security.user = "alice";
  base.security.password = "s3cret";
  const std::string pin(64, 'a');
  struct Case {
    const char* what;
    std::function<void(std::string& account, Hop&)> change;
    bool same;
  };
  const Case cases[] = {
      {"nothing", [](std::string&, Hop&) {}, true},
      {"the same password again", [](std::string&, Hop& h) { h.security.password = std::string("s3") + "cret"; }, true},
      {"the account", [](std::string& a, Hop&) { a = "work"; }, false},
      {"the port", [](std::string&, Hop& h) { h.server = "smtp.example:465"; }, false},
      {"the TLS", [](std::string&, Hop& h) { h.security.tls = NextRelaySecurity::Tls::Implicit; }, false},
      {"a pin", [&](std::string&, Hop& h) { h.security.check = {TlsPeerCheck::Mode::Fingerprint, "smtp.example", pin}; }, false},
      {"the user", [](std::string&, Hop& h) { h.security.user = "bob"; }, false},
      {"the password", [](std::string&, Hop& h) { h.security.password = "other"; }, false},
      {"a password command", [](std::string&, Hop& h) { h.security.passwordCommand = "pass show relay"; h.security.password.clear(); }, false},
      {"the mechanism", [](std::string&, Hop& h) { h.security.mechanism = "XOAUTH2"; }, false},
      {"a sign-in", [&](std::string&, Hop& h) { h.security.tokens = tokensOf("client-a"); h.security.password.clear(); }, false},
  };
  const std::string account = "default";
  const std::string baseKey = SessionKey(account, base);
  for (const Case& c : cases) {
    std::string changedAccount = account;
    Hop changed = base;
    c.change(changedAccount, changed);
    EXPECT_EQ(SessionKey(changedAccount, changed) == baseKey, c.same) << c.what;
  }
  Hop signedIn = base, again = base, otherClient = base;
  signedIn.security.tokens = tokensOf("client-a");
  again.security.tokens = tokensOf("client-a");
  otherClient.security.tokens = tokensOf("client-b");
  EXPECT_NE(SessionKey(account, signedIn), SessionKey(account, otherClient)) << "another sign-in";
  EXPECT_EQ(SessionKey(account, signedIn), SessionKey(account, again)) << "the same sign-in";
  EXPECT_EQ(SessionKey(account, base).find("s3cret"), std::string::npos) << "no password in a key";
}

TEST_F(NextRelaySecurityTest, ManyMessagesShareAFewLoggedInSessions) {
  Apply({"starttls", "alice", "s3cret"});
  TlsSmtpPeer peer(Peer(Tls::StartTls));
  Configure([&](Settings& s) { s.SMTP = peer.server(); });
  DeliverAll(200, peer, [](int n) { return Message(n); });
  std::map<std::string, int> arrivals = Arrivals(peer);
  EXPECT_EQ(arrivals.size(), 200u);
  for (const auto& [subject, times] : arrivals) EXPECT_EQ(times, 1) << subject;
  EXPECT_EQ(Count(peer, "RCPT"), 400) << "both recipients of a message in its one transaction";
  EXPECT_LE(peer.PeakConnections(), 4u) << "ConnectionsPerRelay with a login";
  EXPECT_LE(Count(peer, "AUTH"), 8) << "a login per session, not per message";
}

TEST_F(NextRelaySecurityTest, ASessionThatBreaksSettlesOnlyWhatWasAnswered) {
  Apply({"starttls", "alice", "s3cret"});
  TlsSmtpPeer::Options options = Peer(Tls::StartTls);
  options.closeAfterMessages = 3;
  TlsSmtpPeer peer(options);
  Configure([&](Settings& s) {
    s.SMTP = peer.server();
    s.ConnectionsPerRelay = 1;
  });
  DeliverAll(10, peer, [](int n) { return Message(n); });
  std::map<std::string, int> arrivals = Arrivals(peer);
  EXPECT_EQ(arrivals.size(), 10u);
  for (const auto& [subject, times] : arrivals) EXPECT_EQ(times, 1) << subject;
  ASSERT_GE(peer.Transcripts().size(), 2u);
  EXPECT_EQ(Count(peer, "DATA"), 10);
}

TEST_F(NextRelaySecurityTest, EachAccountSendsItsSendersMailWithItsOwnLogin) {
  TlsSmtpPeer office(Peer(Tls::StartTls));
  TlsSmtpPeer::Options other = Peer(Tls::StartTls);
  other.user = "bob@gmail.example";
  other.secret = "app password";
  TlsSmtpPeer gmail(other);
  Apply({"starttls", "alice", "s3cret"});
  Configure([&](Settings& s) { s.RewriteSender = "desk@office.example"; });
  auto values = std::make_shared<Settings>(*relay().settings());
  values->RewriteSender = "";
  values->SMTP = gmail.server();
  values->SMTP_User = other.user;
  values->SMTP_Password = other.secret;
  values->Senders = "bob@gmail.example";
  Configure([&](Settings& s) {
    s.SMTP = office.server();
    s.Accounts = {Account{"gmail", values}};
  });
  DeliverAll(6, office, [](int n) { return Message(n, n % 2 ? "bob@gmail.example" : "ann@office.example"); });
  EXPECT_TRUE(gmail.WaitForEnded(gmail.Transcripts().size(), milliseconds(10000)));
  EXPECT_EQ(Arrivals(office), (std::map<std::string, int>{{"m0\r\n", 1}, {"m2\r\n", 1}, {"m4\r\n", 1}}));
  EXPECT_EQ(Arrivals(gmail), (std::map<std::string, int>{{"m1\r\n", 1}, {"m3\r\n", 1}, {"m5\r\n", 1}}));
  EXPECT_EQ(Count(office, "MAIL FROM:<desk@office.example>"), 3) << "the office account sends as its own address";
  EXPECT_EQ(Count(office, "From: Ann <desk@office.example>\r\n"), 3);
  EXPECT_EQ(Count(office, "Reply-To: Ann <ann@office.example>\r\n"), 3);
  EXPECT_EQ(Count(gmail, "MAIL FROM:<bob@gmail.example>"), 3);
  EXPECT_EQ(Count(gmail, "Reply-To:"), 0);
}

// 40 messages at 30 a minute through a plain next relay, one transaction per recipient: 30
// go now, 10 wait a minute, shown as paced; the count outlives the relay that made it.
TEST_F(NextRelaySecurityTest, AnAccountsPaceHoldsWhatWouldPassItsLimit) {
  TlsSmtpPeer peer(Peer(Tls::Plain));
  std::atomic<int64_t> seconds{0};
  const auto wallStart = std::chrono::system_clock::now();
  const auto steadyStart = std::chrono::steady_clock::now();
  relay().queue.SetScheduleWallClock([&] { return wallStart + std::chrono::seconds(seconds.load()); });
  relay().queue.SetScheduleClock([&] { return steadyStart + std::chrono::seconds(seconds.load()); });
  Configure([&](Settings& s) {
    s.SMTP = peer.server();
    s.MaxPerMinute = 30;
    s.RewriteSender = "desk@office.example";
  });
  DeliverAll(40, peer, [](int n) { return Message(n); }, 10);
  EXPECT_EQ(Arrivals(peer).size(), 30u);
  EXPECT_EQ(Count(peer, "RCPT"), 60) << "the plain next relay keeps its transaction per recipient";
  EXPECT_EQ(Count(peer, "MAIL FROM:<desk@office.example>"), 60);
  std::vector<std::string> held = Notices("");
  ASSERT_EQ(held.size(), 10u);
  std::string shown = LastDeliveryError(relay(), held[0], "ACPT TO:<a@x.example>\r\n");
  EXPECT_EQ(shown.rfind("paced until ", 0), 0u) << shown;
  Pacer restarted(appDir().File(kPacingFile));
  EXPECT_TRUE(restarted.Take("default", {30, 0}, 2, wallStart + std::chrono::seconds(30)).has_value())
      << "the minute's 30 are counted after a restart";
  seconds = 61;
  RunDispatcher(peer, 0);
  std::map<std::string, int> arrivals = Arrivals(peer);
  EXPECT_EQ(arrivals.size(), 40u);
  for (const auto& [subject, times] : arrivals) EXPECT_EQ(times, 2) << subject << " (once per recipient)";
}

TEST_F(NextRelaySecurityTest, WhatTheSettingsAskForEachServer) {
  using Want = NextRelaySecurity::Tls;
  using Check = TlsPeerCheck::Mode;
  struct Case {
    const char* server;
    Store store;
    bool trueRelaying;
    const char* mxTls;
    Want tls;
    Check check;
    bool esmtp;
  };
  const Case cases[] = {
      {"smtp.example", {}, false, "", Want::None, Check::None, false},
      {"smtp.example:465", {}, false, "", Want::None, Check::None, false},
      {"smtp.example:587", {"", "alice"}, false, "", Want::StartTls, Check::Chain, true},
      {"smtp.example:465", {"", "alice"}, false, "", Want::Implicit, Check::Chain, true},
      {"smtp.example:465", {"starttls", "alice"}, false, "", Want::StartTls, Check::Chain, true},
      {"smtp.example", {"NONE", "alice"}, false, "", Want::None, Check::None, true},
      {"smtp.example", {"May"}, false, "", Want::May, Check::None, true},
      {"smtp.example", {"tls"}, false, "", Want::Implicit, Check::Chain, true},
      {"smtp.example", {"tls", "", "", "", "", "AB:CD"}, false, "", Want::Implicit, Check::Fingerprint, true},
      {"smtp.example", {"sometimes"}, false, "", Want::StartTls, Check::Chain, true},
      // A pin asks for TLS to that certificate whatever SMTP_TLS says.
      {"smtp.example", {"", "", "", "", "", "AB:CD"}, false, "", Want::StartTls, Check::Fingerprint, true},
      {"smtp.example", {"may", "", "", "", "", "AB:CD"}, false, "", Want::StartTls, Check::Fingerprint, true},
      {"smtp.example", {"none", "", "", "", "", "AB:CD"}, false, "", Want::StartTls, Check::Fingerprint, true},
      {"smtp.example:465", {"may", "", "", "", "", "AB:CD"}, false, "", Want::Implicit, Check::Fingerprint, true},
      {"mx.example", {"tls", "alice"}, true, "", Want::None, Check::None, false},
      {"mx.example", {"tls", "alice"}, true, "may", Want::May, Check::None, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.server) + " " + c.store.tls + " " + c.store.user);
    Apply(c.store);
    Configure([&](Settings& s) { s.MX_TLS = c.mxTls; });
    Configure([&](Settings& s) { s.SMTP = c.trueRelaying ? "smtp.example" : c.server; });
    NextRelaySecurity security = NextRelaySecurityFor(*relay().settings(), c.server, c.trueRelaying);
    EXPECT_EQ(security.tls, c.tls);
    EXPECT_EQ(security.check.mode, c.check);
    EXPECT_EQ(security.check.host, c.server[0] == 's' ? "smtp.example" : "mx.example");
    EXPECT_EQ(security.SpeaksEsmtp(), c.esmtp);
    EXPECT_EQ(security.user, c.trueRelaying ? "" : c.store.user) << "exchangers never get a login";
  }
}

TEST_F(NextRelaySecurityTest, EachModeAgainstServersThatOfferTlsAndThatDoNot) {
  const std::string pin = test::TestCertificates::Fingerprint(localhost.certificate);
  struct Case {
    const char* what;
    Store store;
    Tls server;
    Fate want;
    const char* firstLine;      // the first line the server got
    const char* firstEncrypted;  // the first line it got over TLS; "" for none
    const char* log;             // a log line the case leaves; "" for none
  };
  const Case cases[] = {
      {"none keeps the stored dialogue", {"none"}, Tls::StartTls, Fate::Delivered, "HELO client.example\r\n", "", ""},
      {"missing, no user: the stored dialogue", {}, Tls::StartTls, Fate::Delivered, "HELO client.example\r\n", "", ""},
      {"may, offered", {"may"}, Tls::StartTls, Fate::Delivered, "EHLO client.example\r\n", "EHLO client.example\r\n", ""},
      {"may, not offered", {"may"}, Tls::Plain, Fate::Delivered, "EHLO client.example\r\n", "", ""},
      {"starttls, offered", {"starttls"}, Tls::StartTls, Fate::Delivered, "EHLO client.example\r\n",
       "EHLO client.example\r\n", ""},
      {"starttls, not offered", {"starttls"}, Tls::Plain, Fate::Pending, "EHLO client.example\r\n", "",
       "Error : TLS required but not offered by localhost:"},
      {"tls from the first byte", {"tls"}, Tls::Implicit, Fate::Delivered, "EHLO client.example\r\n",
       "EHLO client.example\r\n", ""},
      {"missing, with a user: starttls", {"", "alice", "s3cret"}, Tls::StartTls, Fate::Delivered,
       "EHLO client.example\r\n", "EHLO client.example\r\n", ""},
      {"may with a user, not offered: no login in the clear", {"may", "alice", "s3cret"}, Tls::Plain, Fate::Pending,
       "EHLO client.example\r\n", "", "Error : TLS required but not offered by localhost:"},
      {"none set explicitly with a user: login in the clear", {"none", "alice", "s3cret"}, Tls::Plain,
       Fate::Delivered, "EHLO client.example\r\n", "", ""},
      {"automatic with a pin: TLS to that certificate", {"", "", "", "", "", pin}, Tls::StartTls, Fate::Delivered,
       "EHLO client.example\r\n", "EHLO client.example\r\n", ""},
      {"may with a pin, STARTTLS stripped: never in the clear", {"may", "", "", "", "", pin}, Tls::Plain,
       Fate::Pending, "EHLO client.example\r\n", "", "Error : TLS required but not offered by localhost:"},
      {"none with a pin, not offered", {"none", "", "", "", "", pin}, Tls::Plain, Fate::Pending,
       "EHLO client.example\r\n", "", "Error : TLS required but not offered by localhost:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Apply(c.store);
    TlsSmtpPeer peer(Peer(c.server));
    EXPECT_EQ(Run(peer), c.want);
    auto transcripts = peer.Transcripts();
    ASSERT_EQ(transcripts.size(), 1u);
    ASSERT_FALSE(transcripts[0].empty());
    EXPECT_EQ(transcripts[0][0].text, c.firstLine);
    EXPECT_EQ(FirstEncrypted(peer), c.firstEncrypted);
    if (c.want == Fate::Delivered) {
      EXPECT_TRUE(Received(peer, "Hi Bob.\r\n", *c.firstEncrypted != '\0'));
      // After EHLO the MAIL line says what the server offered (8BITMIME, not SIZE); after
      // the stored HELO it is the stored line.
      auto mail = std::find_if(transcripts[0].begin(), transcripts[0].end(),
                               [](const auto& line) { return line.text.rfind("MAIL FROM:", 0) == 0; });
      ASSERT_NE(mail, transcripts[0].end());
      const bool ehlo = std::string(c.firstLine).rfind("EHLO", 0) == 0;
      EXPECT_EQ(mail->text.ends_with("> BODY=8BITMIME\r\n"), ehlo) << mail->text;
    }
    if (*c.log != '\0') {
      EXPECT_NE(LogContent().find(c.log), std::string::npos) << LogContent();
      // The waiting view shows the same reason for the recipient.
      EXPECT_EQ(LastDeliveryError(relay(), "953.tml", LineAt("953.tml", 2).second).rfind(c.log + 8, 0), 0u);
    }
    if (c.store.tls != "none") ExpectNoCredentialInTheClear(peer, "s3cret");
  }
}

TEST_F(NextRelaySecurityTest, CertificatesThatFailTheirCheckLeaveTheRecipientPending) {
  test::TestCertificates stranger(appDir().path(), "stranger");
  const test::CertificateFiles otherName = authority.Issue("other", "mail.example");
  const test::CertificateFiles expired = authority.Issue("expired", "localhost", -10, -1);
  const test::CertificateFiles untrusted = stranger.Issue("untrusted", "localhost");
  struct Case {
    const char* what;
    test::CertificateFiles certificate;
    std::string fingerprint;
    Fate want;
    const char* reason;  // after "not trusted: "
  };
  const Case cases[] = {
      {"another name", otherName, "", Fate::Pending, "hostname mismatch"},
      {"expired", expired, "", Fate::Pending, "certificate has expired"},
      {"an authority not trusted", untrusted, "", Fate::Pending, "unable to get local issuer certificate"},
      {"a matching fingerprint stands in for the chain",
       untrusted, test::TestCertificates::Fingerprint(untrusted.certificate), Fate::Delivered, ""},
      {"a fingerprint without colons, in lower case", otherName, [&] {
         std::string plain;
         for (char c : test::TestCertificates::Fingerprint(otherName.certificate)) {
           if (c != ':') plain += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
         }
         return plain;
       }(), Fate::Delivered, ""},
      {"a fingerprint that does not match", localhost, test::TestCertificates::Fingerprint(untrusted.certificate),
       Fate::Pending, "fingerprint mismatch"},
  };
  for (Tls server : {Tls::StartTls, Tls::Implicit}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (server == Tls::Implicit ? " (tls)" : " (starttls)"));
      Apply({server == Tls::Implicit ? "tls" : "starttls", "alice", "s3cret", "", "", c.fingerprint});
      TlsSmtpPeer peer(Peer(server, c.certificate));
      EXPECT_EQ(Run(peer), c.want);
      if (c.want == Fate::Pending) {
        std::string want = "Error : certificate of " + peer.server() + " not trusted: " + c.reason;
        EXPECT_NE(LogContent().find(want), std::string::npos) << LogContent();
        EXPECT_EQ(FirstEncrypted(peer), "");
      }
      ExpectNoCredentialInTheClear(peer, "s3cret");
    }
  }
}

TEST_F(NextRelaySecurityTest, LoginsWithRightAndWrongSecrets) {
  const std::string tokenFile = appDir().File("token");
  appDir().Write("token", "ya29.token\nsecond line\n");
  struct Case {
    const char* what;
    std::string mechanisms;  // offered
    Store store;
    std::string authReply;  // the server's fixed reply to AUTH, "" for a real check
    Fate want;
    std::string log;
    const char* mechanismUsed;  // the AUTH line's start
  };
  const Case cases[] = {
      {"PLAIN, right", "PLAIN LOGIN", {"", "alice", "s3cret"}, "", Fate::Delivered, "", "AUTH PLAIN "},
      {"PLAIN, wrong", "PLAIN LOGIN", {"", "alice", "wrong"}, "", Fate::Pending,
       "Error : authentication refused by localhost:%: 535 5.7.8 Authentication credentials invalid", "AUTH PLAIN "},
      {"LOGIN, right", "LOGIN", {"", "alice", "s3cret"}, "", Fate::Delivered, "", "AUTH LOGIN"},
      {"LOGIN, wrong", "LOGIN", {"", "alice", "wrong"}, "", Fate::Pending,
       "Error : authentication refused by localhost:%: 535", "AUTH LOGIN"},
      {"XOAUTH2 from a password command, right", "PLAIN XOAUTH2",
       {"", "alice", "", "cat '" + tokenFile + "'", "XOAUTH2"}, "", Fate::Delivered, "", "AUTH XOAUTH2 "},
      {"XOAUTH2 from a password command, wrong", "XOAUTH2",
       {"", "alice", "", "echo expired.token", "XOAUTH2"}, "", Fate::Pending,
       "Error : authentication refused by localhost:%: 535", "AUTH XOAUTH2 "},
      {"a password command that fails", "PLAIN", {"", "alice", "", "exit 3"}, "", Fate::Pending,
       "Error : password command failed", nullptr},
      {"no mechanism offered", "", {"", "alice", "s3cret"}, "", Fate::Pending,
       "Error : no usable authentication mechanism offered by localhost:%", nullptr},
      {"XOAUTH2 asked, not offered", "PLAIN", {"", "alice", "s3cret", "", "XOAUTH2"}, "", Fate::Pending,
       "Error : no usable authentication mechanism offered by localhost:%", nullptr},
      {"454 is a deferral", "PLAIN", {"", "alice", "s3cret"}, "454 4.7.0 Temporary authentication failure\r\n",
       Fate::Deferred, "", "AUTH PLAIN "},
      {"535 leaves the recipient pending", "PLAIN", {"", "alice", "s3cret"},
       "535 5.7.8 Authentication credentials invalid\r\n", Fate::Pending,
       "Error : authentication refused by localhost:%: 535 5.7.8", "AUTH PLAIN "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Apply(c.store);
    TlsSmtpPeer::Options options = Peer(Tls::StartTls);
    options.mechanisms = c.mechanisms;
    options.secret = c.store.auth == "XOAUTH2" ? "ya29.token" : "s3cret";
    options.authReply = c.authReply;
    TlsSmtpPeer peer(options);
    EXPECT_EQ(Run(peer), c.want);
    if (!c.log.empty()) {
      std::string want = c.log;
      size_t port = want.find('%');
      if (port != std::string::npos) want.replace(port, 1, peer.server().substr(peer.server().find(':') + 1));
      EXPECT_NE(LogContent().find(want), std::string::npos) << want << "\n" << LogContent();
    }
    bool sawAuth = false;
    auto transcripts = peer.Transcripts();
    ASSERT_EQ(transcripts.size(), 1u);
    for (const auto& line : transcripts[0]) {
      if (line.text.rfind("AUTH", 0) == 0) sawAuth = line.encrypted && c.mechanismUsed != nullptr &&
                                                     line.text.rfind(c.mechanismUsed, 0) == 0;
    }
    EXPECT_EQ(sawAuth, c.mechanismUsed != nullptr);
    ExpectNoCredentialInTheClear(peer, c.store.password.empty() ? "ya29.token" : c.store.password);
  }
}

// A login the next relay refuses is told to those who watch the relay (the desktop's
// notification, `vellomar --status`), and the next success mends it for them.
TEST_F(NextRelaySecurityTest, ARefusedLoginIsToldAndTheNextSuccessMendsIt) {
  controls.SetTray(true);
  TlsSmtpPeer::Options options = Peer(Tls::StartTls);
  options.mechanisms = "PLAIN";
  options.secret = "s3cret";
  {
    Apply({"starttls", "alice", "wrong"});
    TlsSmtpPeer peer(options);
    EXPECT_EQ(Run(peer), Fate::Pending);
    EXPECT_TRUE(relay().statusBoard().Snapshot().accounts["default"].loginRefused);
    windowThread.Invoke([this] { mainWindow.ShowDueNotifications(std::chrono::steady_clock::now() + std::chrono::seconds(6)); });
    auto shown = controls.Notifications();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].title, "The next relay refused the login");
    EXPECT_EQ(shown[0].body, "authentication refused by " + peer.server() +
                                 ": 535 5.7.8 Authentication credentials invalid. Mail through it waits until the login is "
                                 "mended.");
  }
  Apply({"starttls", "alice", "s3cret"});
  TlsSmtpPeer peer(options);
  EXPECT_EQ(Run(peer), Fate::Delivered);
  AccountStatus account = relay().statusBoard().Snapshot().accounts["default"];
  EXPECT_FALSE(account.loginRefused);
  EXPECT_TRUE(account.lastSuccess.has_value());
}

TEST_F(NextRelaySecurityTest, HandshakesAndRepliesThatGoWrong) {
  struct Case {
    const char* what;
    Store store;
    std::function<void(TlsSmtpPeer::Options&)> arrange;
    Fate want;
    const char* log;
  };
  const Case cases[] = {
      {"replies split across TLS records", {"starttls", "alice", "s3cret"},
       [](TlsSmtpPeer::Options& o) { o.splitReplies = true; }, Fate::Delivered, ""},
      {"split, from the first byte", {"tls", "alice", "s3cret"},
       [](TlsSmtpPeer::Options& o) {
         o.splitReplies = true;
         o.tls = Tls::Implicit;
       }, Fate::Delivered, ""},
      {"dropped in the handshake", {"starttls", "alice", "s3cret"},
       [](TlsSmtpPeer::Options& o) { o.handshake = TlsSmtpPeer::Options::Handshake::Drop; }, Fate::Pending,
       "Error : TLS handshake with localhost:"},
      {"may with a user, dropped in the handshake: no login, no clear", {"may", "alice", "s3cret"},
       [](TlsSmtpPeer::Options& o) { o.handshake = TlsSmtpPeer::Options::Handshake::Drop; }, Fate::Pending,
       "Error : TLS handshake with localhost:"},
      {"may, dropped in the handshake, refused in the clear: kept", {"may"},
       [](TlsSmtpPeer::Options& o) {
         o.handshake = TlsSmtpPeer::Options::Handshake::Drop;
         o.mailReplyInTheClear = "530 5.7.0 Must issue a STARTTLS command first\r\n";
       }, Fate::Pending, "Error : localhost:"},
      {"dropped in the first byte's handshake", {"tls"},
       [](TlsSmtpPeer::Options& o) {
         o.handshake = TlsSmtpPeer::Options::Handshake::Drop;
         o.tls = Tls::Implicit;
       }, Fate::Pending, "Error : TLS handshake with localhost:"},
      {"454 to STARTTLS is a deferral", {"starttls"},
       [](TlsSmtpPeer::Options& o) { o.startTlsReply = "454 4.7.0 TLS not available\r\n"; }, Fate::Deferred, ""},
      {"554 to STARTTLS when required", {"starttls"},
       [](TlsSmtpPeer::Options& o) { o.startTlsReply = "554 5.5.1 No\r\n"; }, Fate::Pending,
       "Error : STARTTLS refused by localhost:"},
      {"554 to STARTTLS under may goes on in the clear", {"may"},
       [](TlsSmtpPeer::Options& o) { o.startTlsReply = "554 5.5.1 No\r\n"; }, Fate::Delivered, ""},
      {"EHLO refused, nothing required: the stored HELO line", {"may"},
       [](TlsSmtpPeer::Options& o) { o.ehloReply = "502 5.5.2 What\r\n"; }, Fate::Delivered, ""},
      {"EHLO refused, TLS required", {"starttls"},
       [](TlsSmtpPeer::Options& o) { o.ehloReply = "502 5.5.2 What\r\n"; }, Fate::Pending,
       "Error : EHLO refused by localhost:"},
      {"EHLO refused with a user", {"none", "alice", "s3cret"},
       [](TlsSmtpPeer::Options& o) { o.ehloReply = "502 5.5.2 What\r\n"; }, Fate::Pending,
       "Error : EHLO refused by localhost:"},
      // Stalled past the send limit: the message, larger than every buffer on the way, is cut
      // off there, and nothing after the cut is sent on that connection.
      {"stops reading mid-data", {"starttls"},
       [](TlsSmtpPeer::Options& o) { o.stallInData = milliseconds(2500); }, Fate::Pending,
       "Error : no reply from localhost:"},
  };
  relay().timings.client = {milliseconds(2000), milliseconds(1000), milliseconds(2000)};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Apply(c.store);
    TlsSmtpPeer::Options options = Peer(Tls::StartTls);
    c.arrange(options);
    TlsSmtpPeer peer(options);
    bool large = options.stallInData.count() > 0;
    EXPECT_EQ(Run(peer, "localhost", large ? test::LargeMessage() : test::WorkedExample()), c.want);
    ASSERT_TRUE(peer.WaitForEnded(1, milliseconds(20000)));
    std::vector<std::string> data;
    for (const auto& transcript : peer.Transcripts()) {
      for (const TlsSmtpPeer::Line& line : transcript) data.push_back(line.text);
    }
    EXPECT_TRUE(test::NoHole(data));
    if (c.want != Fate::Delivered) {
      EXPECT_EQ(std::count(data.begin(), data.end(), ".\r\n"), 0) << "no end of data";
    }
    if (*c.log != '\0') {
      EXPECT_NE(LogContent().find(c.log), std::string::npos) << LogContent();
    }
    if (c.want == Fate::Delivered) {
      EXPECT_TRUE(Received(peer, ".\r\n", options.ehloReply.empty() && options.startTlsReply[0] == '2'));
    }
    ExpectNoCredentialInTheClear(peer, "s3cret");
  }
}

TEST_F(NextRelaySecurityTest, Xoauth2WithTheTokensOfASignIn) {
  test::OAuthAuthority provider(appDir().path());
  ASSERT_TRUE(provider.started());
  StopFlag stop;
  auto store = TokenStore::Open(appDir().path(), "custom/alice", false, milliseconds(1000), stop);
  using Opened = OpeningResult::Kind;
  struct Case {
    const char* what;
    FormFields script;  // for the provider
    int accepted;       // which of the tokens got from now on the server takes; 0: none
    Opened want;
    int logins;
    const char* text;  // the start of the result's text
  };
  const Case cases[] = {
      {"the first token is taken", {}, 1, Opened::Ready, 1, ""},
      {"a refused token is reported and a fresh one taken", {}, 2, Opened::Ready, 2, ""},
      {"a fresh token refused too: no third try", {}, 0, Opened::Fault, 2,
       "Error : authentication refused by localhost:"},
      {"sign-in expired: no login tried, nothing logged again", {{"refresh", "invalid_grant"}}, 0, Opened::Waiting, 0,
       "Error : sign-in to the test authority expired: sign in again"},
      {"the token endpoint is down: a temporary fault", {{"refresh", "error500"}}, 0, Opened::Fault, 0,
       "Error : can't refresh the sign-in to the test authority: HTTP status 500"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    provider.Set(c.script);
    ASSERT_TRUE(store->Save("rt-1"));
    const int issued = provider.Count("issued");
    auto token = [&](int n) { return "at-" + std::to_string(issued + n); };
    TlsSmtpPeer::Options options = Peer(Tls::StartTls);
    options.mechanisms = "PLAIN XOAUTH2";
    options.secret = c.accepted > 0 ? token(c.accepted) : "nope";
    TlsSmtpPeer peer(options);
    NextRelaySecurity security;
    security.tls = NextRelaySecurity::Tls::StartTls;
    security.check = {TlsPeerCheck::Mode::Chain, "localhost", ""};
    security.user = "alice";
    security.tokens = std::make_shared<OAuthTokens>(provider.Provider(), provider.Client(), store, stop, nullptr);

    auto socket = CreateTcpSocket();
    ASSERT_TRUE(socket.ok());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(peer.server().substr(peer.server().find(':') + 1))));
    ASSERT_TRUE(ConnectWithin(socket.value().get(), address, milliseconds(2000), [] { return false; }));
    Connection connection(std::move(socket.value()));
    ReplyReader replies;
    std::string greeting;
    ASSERT_TRUE(replies.Read(connection, milliseconds(2000), greeting));
    OpeningResult opened = OpenSession(connection, replies, "client.example", security, peer.server(), milliseconds(5000), stop);
    EXPECT_EQ(opened.kind, c.want) << opened.text;
    EXPECT_EQ(opened.text.rfind(c.text, 0), 0u) << opened.text;
    connection.Close();

    // Each login carries the next token in the exact XOAUTH2 form; a refused one is answered
    // by a challenge that the client ends with an empty line.
    std::vector<std::string> logins;
    auto transcripts = peer.Transcripts();
    ASSERT_EQ(transcripts.size(), 1u);
    for (size_t i = 0; i < transcripts[0].size(); ++i) {
      const std::string& line = transcripts[0][i].text;
      if (line.rfind("AUTH XOAUTH2 ", 0) != 0) continue;
      EXPECT_TRUE(transcripts[0][i].encrypted);
      logins.push_back(Base64Decode(line.substr(13, line.size() - 15)).value_or("?"));
      bool refused = c.accepted != static_cast<int>(logins.size());
      if (refused) {
        EXPECT_EQ(i + 1 < transcripts[0].size() ? transcripts[0][i + 1].text : "", "\r\n");
      }
    }
    ASSERT_EQ(logins.size(), static_cast<size_t>(c.logins));
    for (int n = 1; n <= c.logins; ++n) {
      EXPECT_EQ(logins[n - 1], "user=alice\x01" "auth=Bearer " + token(n) + "\x01\x01");
    }
  }
}

TEST_F(NextRelaySecurityTest, ExchangersUseTlsWhenOfferedAndNeverLogIn) {
  Configure([&](Settings& s) { s.REAL_RELAY = true; });
  Configure([&](Settings& s) { s.MX_TLS = "may"; });
  Apply({"starttls", "alice", "s3cret"});
  // Not checked: a certificate for another name is taken.
  TlsSmtpPeer peer(Peer(Tls::StartTls, authority.Issue("other", "mail.example")));
  EXPECT_EQ(Run(peer), Fate::Delivered);
  EXPECT_EQ(FirstEncrypted(peer), "EHLO client.example\r\n");
  auto transcripts = peer.Transcripts();
  ASSERT_EQ(transcripts.size(), 1u);
  for (const auto& line : transcripts[0]) EXPECT_NE(line.text.rfind("AUTH", 0), 0u) << line.text;

  // A handshake that fails does not strand the message: a new connection carries it in the
  // clear, with the stored dialogue.
  TlsSmtpPeer::Options dropping = Peer(Tls::StartTls);
  dropping.handshake = TlsSmtpPeer::Options::Handshake::Drop;
  TlsSmtpPeer broken(dropping);
  EXPECT_EQ(Run(broken), Fate::Delivered);
  auto tries = broken.Transcripts();
  ASSERT_EQ(tries.size(), 2u);
  ASSERT_FALSE(tries[1].empty());
  EXPECT_EQ(tries[1][0].text, "HELO client.example\r\n");
  EXPECT_TRUE(Received(broken, "Hi Bob.\r\n", false));
  EXPECT_NE(LogContent().find("Warning : TLS handshake with localhost:"), std::string::npos) << LogContent();
  EXPECT_NE(LogContent().find("; sending without TLS\r\n"), std::string::npos) << LogContent();

  Configure([&](Settings& s) { s.MX_TLS = ""; });
  TlsSmtpPeer plain(Peer(Tls::StartTls));
  EXPECT_EQ(Run(plain), Fate::Delivered);
  EXPECT_EQ(plain.Transcripts()[0][0].text, "HELO client.example\r\n") << "the stored dialogue by default";
}

TEST_F(NextRelaySecurityTest, ShutdownDuringAHandshakeEndsAtOnce) {
  for (Tls server : {Tls::StartTls, Tls::Implicit}) {
    SCOPED_TRACE(server == Tls::Implicit ? "tls" : "starttls");
    Apply({server == Tls::Implicit ? "tls" : "starttls"});
    TlsSmtpPeer::Options options = Peer(server);
    options.handshake = TlsSmtpPeer::Options::Handshake::Stall;
    TlsSmtpPeer peer(options);
    Spool("953.tml", test::WorkedExample());
    auto worker = relay().threads().Start([&](ThreadHandle&) {
      Deliver("953.tml", 2, peer.server());
      return 0;
    });
    ASSERT_NE(worker, nullptr);
    ASSERT_TRUE(peer.WaitForHandshake(milliseconds(5000)));
    auto cancelled = std::chrono::steady_clock::now();
    worker->Cancel();
    EXPECT_TRUE(worker->WaitFor(milliseconds(1000))) << "the cancel ends the handshake's wait";
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, milliseconds(1000));
    EXPECT_EQ(appDir().Read("953.tml"), test::WorkedExample()) << "the recipient keeps its letter";
  }
}

}  // namespace
}  // namespace vellomar
