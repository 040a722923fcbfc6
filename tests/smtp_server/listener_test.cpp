#include "smtp_server/listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <poll.h>

#include <cstring>
#include <future>
#include <mutex>
#include <vector>

#include "common/login_failures.h"
#include "common/network_list.h"
#include "common/system_error.h"
#include "control/registry_key.h"
#include "control/settings_loading.h"
#include "session_fixture.h"
#include "smtp_server/listener_ports.h"
#include "smtp_server/relay_policy.h"
#include "support/loopback.h"

namespace vellomar {
namespace {

using test::Eventually;
using test::SmtpTestClient;

class ListenerTest : public test::SessionFixture {
 protected:
  ListenerTest() {
    Configure([&](Settings& s) { s.Allow = DefaultAllowedNetworks(); });
    relay().sessionStartObserver.Set([this](const std::string& clientAddress, const std::string& spoolName, int) {
      std::lock_guard<std::mutex> guard(startedLock_);
      started_.push_back({clientAddress, spoolName});
    });
  }
  ~ListenerTest() override {
    StopAll();
    Configure([&](Settings& s) { s.Allow = DefaultAllowedNetworks(); });
  }

  struct Started {
    std::string clientAddress;
    std::string spoolName;
    bool operator==(const Started&) const = default;
  };
  std::vector<Started> StartedSessions() {
    std::lock_guard<std::mutex> guard(startedLock_);
    return started_;
  }

  // Reads everything up to the server's close.
  static std::string RepliesUntilClosed(SmtpTestClient& client) {
    std::string replies;
    EXPECT_TRUE(client.WaitClosed(20000, &replies)) << "the server closes the connection";
    return replies;
  }

 private:
  std::mutex startedLock_;
  std::vector<Started> started_;
};

TEST_F(ListenerTest, StartsLogsAndNamesTheHost) {
  StartListener();
  EXPECT_TRUE(Eventually([this] { return LogContent().find("Server started and listening.\r\n") != std::string::npos; }));
  // The box is filled on the window's thread, after the line is in the file.
  EXPECT_TRUE(Eventually([this] { return Notifications().find("Server started and listening.\r\n") != std::string::npos; }));
  EXPECT_FALSE(relay().localHostName.Get().empty());
}

TEST_F(ListenerTest, AtTheInputLimitTheNextClientIsGreetedOnlyAfterTheFirstEnded) {
  Configure([&](Settings& s) { s.Input = 1; });
  SmtpTestClient first = Connect();
  SmtpTestClient second(port_);  // lands in the backlog
  auto greeted = std::async(std::launch::async, [&] {
    std::string greeting = second.ReadReply();
    return std::make_pair(greeting, relay().counters.receivedAll.load());
  });
  // Keep the first session busy for a while before it ends.
  for (int i = 0; i < 20; ++i) {
    first.Send("NOOP\r\n");
    EXPECT_EQ(first.ReadReply(), "250 2.0.0 Ok\r\n");
  }
  first.Send("QUIT\r\n");
  EXPECT_TRUE(first.WaitClosed());
  ASSERT_EQ(greeted.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  auto [greeting, endedBefore] = greeted.get();
  EXPECT_EQ(greeting, kGreeting);
  EXPECT_EQ(endedBefore, 1u) << "the second greeting came while the first session ran";
}

TEST_F(ListenerTest, ConnectionsWithinOneSecondGetDifferentSpoolNames) {
  SmtpTestClient first = Connect();
  SmtpTestClient second = Connect();
  for (SmtpTestClient* client : {&first, &second}) {
    client->Send("HELO a\r\n");
    EXPECT_EQ(client->ReadReply(), "250 Ok\r\n");
  }
  EXPECT_TRUE(appDir().Exists("853.tml"));
  EXPECT_TRUE(appDir().Exists("853_0.tml"));
  EXPECT_TRUE(Held("853.tml"));
  EXPECT_TRUE(Held("853_0.tml"));
}

TEST_F(ListenerTest, PortInUseShowsTheSystemTextAndDoesNotStart) {
  FileDescriptor taken(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken.get(), 1), 0);
  ASSERT_EQ(::getsockname(taken.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::setenv("VELLOMAR_SMTP_PORT", std::to_string(ntohs(address.sin_port)).c_str(), 1);

  auto thread = relay().threads().Start([this](ThreadHandle& self) { return ListenerThread(relay(), self); });
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(thread->WaitFor(std::chrono::seconds(20))) << "the listener ends by itself";
  EXPECT_EQ(controls.SystemErrors(), std::vector<std::string>{SystemErrorText(EADDRINUSE)});
  EXPECT_EQ(LogContent().find("Server started"), std::string::npos);
}

TEST_F(ListenerTest, StopEndsTheListenerAndClosesThePort) {
  int port = StartListener();
  stop.Set();
  ASSERT_TRUE(listener->WaitFor(std::chrono::seconds(5))) << "ends within about a second of the stop";
  EXPECT_TRUE(SmtpTestClient::Refused(port));
}

TEST_F(ListenerTest, PausedListenerAcceptsNothingUntilResumed) {
  int port = StartListener();
  EXPECT_EQ(listener->Suspend(), 0);
  // A pass already under way may still be waiting in its accept wait; it passes the gate
  // again before it accepts.
  SmtpTestClient client(port);
  std::atomic<bool> resumed{false};
  auto greeted = std::async(std::launch::async, [&] {
    std::string greeting = client.ReadReply();
    return std::make_pair(greeting, resumed.load());
  });
  EXPECT_EQ(greeted.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  resumed = true;
  EXPECT_EQ(listener->Resume(), 1);
  ASSERT_EQ(greeted.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  auto [greeting, afterResume] = greeted.get();
  EXPECT_EQ(greeting, kGreeting);
  EXPECT_TRUE(afterResume);
}

TEST_F(ListenerTest, ClientsOutsideAllowAreRefusedAndLeaveNothingBehind) {
  SettingsKey().Write("Allow", "127.0.0.1");
  LoadedSettings loaded = LoadSettings(SettingsKey());
  EXPECT_TRUE(loaded.problems.empty());
  relay().PublishSettings(loaded.settings);
  port_ = StartListener();
  const size_t threadsBefore = relay().threads().Count();

  SmtpTestClient stranger(port_, "127.0.0.1", "127.0.0.2");
  EXPECT_EQ(RepliesUntilClosed(stranger), "554 5.7.1 Access denied\r\n");
  EXPECT_NE(LogContent().find("Refused connection from 127.0.0.2\r\n"), std::string::npos) << LogContent();
  EXPECT_EQ(relay().threads().Count(), threadsBefore) << "no session thread";
  EXPECT_EQ(relay().counters.receivedAll.load(), 0u);
  {
    EXPECT_EQ(relay().queue.size(), 0u) << "no spool name reserved";
  }
  {
    EXPECT_EQ(relay().incoming.size(), 0u) << "no registry entry";
  }
  EXPECT_TRUE(StartedSessions().empty());

  SmtpTestClient allowed = Connect();
  allowed.Send("HELO a\r\n");
  EXPECT_EQ(allowed.ReadReply(), "250 Ok\r\n");
  EXPECT_EQ(StartedSessions(), (std::vector<Started>{{"127.0.0.1", kFirstSpool}}));
  EXPECT_TRUE(appDir().Exists(kFirstSpool));
  EXPECT_FALSE(appDir().Exists("853_0.tml"));
}

TEST_F(ListenerTest, AllowIsJudgedPerFamilyWithMappedAddressesAsIpv4) {
  const bool ipv6 = test::HasIpv6Loopback();
  struct Case {
    const char* allow;
    const char* server;
    const char* source;
    const char* address;  // as the log and the session name it
    bool served;
  };
  const Case cases[] = {
      {"127.0.0.2", "127.0.0.1", "127.0.0.1", "127.0.0.1", false},
      {"127.0.0.2", "127.0.0.1", "127.0.0.2", "127.0.0.2", true},
      {"::ffff:127.0.0.2/128", "127.0.0.1", "127.0.0.2", "127.0.0.2", true},
      {"::1", "127.0.0.1", "", "127.0.0.1", false},
      {"0.0.0.0/0", "::1", "", "IPv6:::1", false},
      {"127.0.0.0/8, ::1/128", "::1", "", "IPv6:::1", true},
      {"::/0", "127.0.0.1", "", "127.0.0.1", true},
  };
  port_ = StartListener();
  size_t served = 0;
  for (const Case& c : cases) {
    if (!ipv6 && std::string(c.server) == "::1") continue;
    SCOPED_TRACE(std::string(c.allow) + " from " + c.address);
    Configure([&](Settings& s) { s.Allow = ParseNetworkList(c.allow).list; });
    SmtpTestClient client(port_, c.server, c.source);
    if (!c.served) {
      EXPECT_EQ(RepliesUntilClosed(client), "554 5.7.1 Access denied\r\n");
      EXPECT_NE(LogContent().find(std::string("Refused connection from ") + c.address + "\r\n"), std::string::npos);
      continue;
    }
    EXPECT_EQ(client.ReadReply(), kGreeting);
    ++served;
    ASSERT_EQ(StartedSessions().size(), served);
    EXPECT_EQ(StartedSessions().back().clientAddress, c.address);
    client.Send("QUIT\r\n");
    EXPECT_TRUE(client.WaitClosed());
  }
}

TEST_F(ListenerTest, OneSocketServesIpv4AndIpv6ClientsNamedByTheirAddress) {
  if (!test::HasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  port_ = StartListener();
  struct Case {
    const char* server;
    const char* source;
    const char* helo;
    const char* address;
  };
  const Case cases[] = {{"127.0.0.1", "127.0.0.2", "four", "127.0.0.2"}, {"::1", "", "six", "IPv6:::1"}};
  for (int i = 0; i < 2; ++i) {
    const Case& c = cases[i];
    SmtpTestClient client(port_, c.server, c.source);
    EXPECT_EQ(client.ReadReply(), kGreeting);
    Converse(client, {{std::string("HELO ") + c.helo + "\r\n", "250 Ok\r\n"},
                      {"MAIL FROM:<ann@example.org>\r\n", "250 Ok\r\n"},
                      {"RCPT TO:<bob@example.org>\r\n", "250 Ok\r\n"},
                      {"DATA\r\n", "354 send the mail data, end with .\r\n"},
                      {"Subject: hi\r\n\r\nx\r\n.\r\n", "250 Ok\r\n"}});
    // The trace header names the client as its session was handed it.
    EXPECT_NE(appDir().Read(SpoolName(i)).find(TraceHeader(c.helo, c.address)), std::string::npos)
        << appDir().Read(SpoolName(i));
    ASSERT_EQ(StartedSessions().size(), static_cast<size_t>(i + 1));
    EXPECT_EQ(StartedSessions()[i], (Started{c.address, SpoolName(i)}));
    Converse(client, {{"QUIT\r\n", "221 Ok\r\n"}});
  }
}

TEST_F(ListenerTest, ABurstOfFiftyConnectsWaitsInTheQueueWhilePausedAndIsServed) {
  constexpr int kClients = 50;
  port_ = StartListener();
  EXPECT_EQ(listener->Suspend(), 0);
  // While nothing is accepted, a connection completes only when the listen queue has room
  // for it: with a short queue the system drops the rest and their clients retry for ever.
  std::vector<FileDescriptor> clients;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port_));
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int result = ::connect(clients.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    ASSERT_TRUE(result == 0 || errno == EINPROGRESS) << "connect " << i << ": " << std::strerror(errno);
  }
  for (int i = 0; i < kClients; ++i) {
    pollfd watched{clients[i].get(), POLLOUT, 0};
    ASSERT_EQ(::poll(&watched, 1, 20000), 1) << "connection " << i << " did not complete while paused";
    int error = -1;
    socklen_t length = sizeof error;
    ASSERT_EQ(::getsockopt(clients[i].get(), SOL_SOCKET, SO_ERROR, &error, &length), 0);
    EXPECT_EQ(error, 0) << "connection " << i;
  }
  EXPECT_EQ(listener->Resume(), 1);
  for (int i = 0; i < kClients; ++i) {
    std::string greeting;
    while (greeting.find('\n') == std::string::npos) {
      ASSERT_TRUE(test::WaitReadable(clients[i].get(), 20000)) << "no greeting for client " << i;
      char buffer[256];
      ssize_t got = ::recv(clients[i].get(), buffer, sizeof buffer, 0);
      ASSERT_GT(got, 0) << "client " << i << " closed or failed";
      greeting.append(buffer, static_cast<size_t>(got));
    }
    EXPECT_EQ(greeting, kGreeting) << "client " << i;
  }
  EXPECT_EQ(StartedSessions().size(), static_cast<size_t>(kClients));
}

TEST(ListenerPortTest, ConfiguredPortFromTheEnvironment) {
  struct Case {
    const char* value;
    uint16_t want;
  };
  const Case cases[] = {{nullptr, 25}, {"", 25}, {"2525", 2525}, {"0", 0}, {"70000", 25}, {"25x", 25}, {"-1", 25}};
  for (const Case& c : cases) {
    if (c.value) {
      ::setenv("VELLOMAR_SMTP_PORT", c.value, 1);
    } else {
      ::unsetenv("VELLOMAR_SMTP_PORT");
    }
    EXPECT_EQ(ConfiguredSmtpPort(), c.want) << (c.value ? c.value : "unset");
  }
}

}  // namespace
}  // namespace vellomar

namespace vellomar {
namespace {

// Who gets how far: the answers at connect, AUTH and MAIL for a client on loopback, one in
// Allow and one outside it, with and without TLS, a login, RequireAuth or AuthInClear.
TEST(RelayPolicyTest, WhoIsGreetedWhoMayLogInAndWhoMustHaveLoggedIn) {
  const std::string denied = "554 5.7.1 Access denied\r\n", required = "530 5.7.0 Authentication required\r\n",
                    encryption = "538 5.7.11 Encryption required for requested authentication mechanism\r\n";
  struct Case {
    const char* name;
    const char* client;
    bool requireAuth, authInClear, loginPossible, tls, loggedIn;
    std::string atConnect, atAuth, atMail;
  };
  const Case cases[] = {
      {"inside, as ever", "192.168.1.5", false, false, false, false, false, "", encryption, ""},
      {"inside under TLS", "192.168.1.5", false, false, true, true, false, "", "", ""},
      {"loopback in the clear", "127.0.0.1", false, false, true, false, false, "", "", ""},
      {"inside, AuthInClear", "192.168.1.5", false, true, true, false, false, "", "", ""},
      {"inside, RequireAuth", "192.168.1.5", true, false, true, true, false, "", "", required},
      {"inside, RequireAuth, logged in", "192.168.1.5", true, false, true, true, true, "", "503 5.5.1 Already authenticated\r\n", ""},
      {"outside, no login possible", "203.0.113.9", false, false, false, false, false, denied, encryption, required},
      {"outside, a login possible", "203.0.113.9", false, false, true, false, false, "", encryption, required},
      {"outside, logged in under TLS", "203.0.113.9", false, false, true, true, true, "", "503 5.5.1 Already authenticated\r\n", ""},
      {"outside, RequireAuth", "203.0.113.9", true, false, true, true, false, denied, "", required},
  };
  Settings settings;
  settings.Allow = DefaultAllowedNetworks();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings.RequireAuth = c.requireAuth;
    settings.AuthInClear = c.authInClear;
    ConnectFacts facts;
    facts.loginPossible = c.loginPossible;
    RelayPolicy policy(settings, *ParseIpAddress(c.client), facts);
    if (c.tls) policy.TlsStarted();
    if (c.loggedIn) policy.LoggedIn("ann");
    EXPECT_EQ(policy.AtConnect().refusal, c.atConnect);
    EXPECT_EQ(policy.AtAuth().refusal, c.atAuth);
    EXPECT_EQ(policy.AtMail().refusal, c.atMail);
  }
}

TEST(ListenerPortsTest, PortsAsWrittenAndAsOpened) {
  struct Case {
    std::string text;
    std::string want;  // as the log names them, then each problem
  };
  const Case cases[] = {
      {"", "2525"},
      {"25 587 465", "25, 587, 465 (TLS)"},
      {"25,587, 2465/TLS", "25, 587, 2465 (TLS)"},
      {"587 587 x 70000 25/ssl", "587; Ports: invalid entry ignored: x; Ports: invalid entry ignored: 70000; "
                                 "Ports: invalid entry ignored: 25/ssl"},
      {"0 0/tls", "0, 0 (TLS)"},
  };
  for (const Case& c : cases) {
    ListenerPorts got = ParseListenerPorts(c.text, 2525);
    std::string described = DescribePorts(got.ports);
    for (const std::string& problem : got.problems) described += "; " + problem;
    EXPECT_EQ(described, c.want) << c.text;
  }
}

// Ten failures within the window bar an address (an IPv6 client by its /64) for the block
// time; failures that left the window do not count. Checks under way count as failures until
// they are settled, and a success while the address is suspect says so.
TEST(LoginFailuresTest, TenFailuresInTheWindowBarTheAddressForTheBlockTime) {
  using std::chrono::minutes;
  using Check = LoginFailures::Check;
  const LoginLimits limits;
  const auto start = LoginFailures::Clock::time_point() + std::chrono::hours(1);
  LoginFailures failures;
  const IpAddress v4 = *ParseIpAddress("203.0.113.9"), v6 = *ParseIpAddress("2001:db8:1:2::5");
  auto fail = [&](const IpAddress& client, LoginFailures::Clock::time_point at) {
    EXPECT_EQ(failures.Reserve(client, at, limits), Check::Granted);
    return failures.Settle(client, true, at, limits).barred;
  };
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(fail(v4, start + minutes(i)));
  EXPECT_FALSE(fail(v4, start + minutes(10))) << "the first failure has left the window";
  EXPECT_TRUE(fail(v4, start + minutes(10) + std::chrono::seconds(30)));
  EXPECT_EQ(failures.Reserve(v4, start + minutes(20), limits), Check::Barred);
  EXPECT_TRUE(failures.Blocked(v4, start + minutes(20)));
  EXPECT_FALSE(failures.Blocked(v4, start + minutes(21)));
  EXPECT_FALSE(failures.Blocked(*ParseIpAddress("203.0.113.10"), start + minutes(15)));
  for (int i = 0; i < 10; ++i) (void)fail(*ParseIpAddress("2001:db8:1:2::" + std::to_string(i + 10)), start);
  EXPECT_TRUE(failures.Blocked(v6, start + minutes(1)));
  EXPECT_FALSE(failures.Blocked(*ParseIpAddress("2001:db8:1:3::5"), start + minutes(1)));

  // Eight failures, then two checks at once: an eleventh check has no place until one settles.
  const IpAddress guesser = *ParseIpAddress("198.51.100.7");
  for (int i = 0; i < 8; ++i) (void)fail(guesser, start);
  EXPECT_EQ(failures.Reserve(guesser, start, limits), Check::Granted);
  EXPECT_EQ(failures.Reserve(guesser, start, limits), Check::Granted);
  EXPECT_EQ(failures.Reserve(guesser, start, limits), Check::Busy);
  LoginFailures::Settled good = failures.Settle(guesser, false, start, limits);
  EXPECT_FALSE(good.barred);
  EXPECT_TRUE(good.suspect) << "the address failed lately";
  EXPECT_EQ(failures.Reserve(guesser, start, limits), Check::Granted) << "a success gives its place back";
  EXPECT_FALSE(failures.Settle(guesser, true, start, limits).barred);
  EXPECT_TRUE(failures.Settle(guesser, true, start, limits).barred);

  // A first login with another under way is suspect too; alone and with a clean record it is not.
  const IpAddress office = *ParseIpAddress("192.0.2.44");
  EXPECT_EQ(failures.Reserve(office, start, limits), Check::Granted);
  EXPECT_EQ(failures.Reserve(office, start, limits), Check::Granted);
  EXPECT_TRUE(failures.Settle(office, false, start, limits).suspect);
  EXPECT_FALSE(failures.Settle(office, false, start, limits).suspect);
}

}  // namespace
}  // namespace vellomar
