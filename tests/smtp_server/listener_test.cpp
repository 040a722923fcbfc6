#include "smtp_server/listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <future>

#include "common/system_error.h"
#include "control/settings.h"
#include "session_fixture.h"

namespace vellomar {
namespace {

using test::Eventually;
using test::SmtpTestClient;

class ListenerTest : public test::SessionFixture {};

TEST_F(ListenerTest, StartsLogsAndNamesTheHost) {
  StartListener();
  EXPECT_TRUE(Eventually([this] { return LogContent().find("Server started and listening.\r\n") != std::string::npos; }));
  EXPECT_NE(Notifications().find("Server started and listening.\r\n"), std::string::npos);
  EXPECT_FALSE(localHostName.Get().empty());
}

TEST_F(ListenerTest, AtTheInputLimitTheNextClientIsGreetedOnlyAfterTheFirstEnded) {
  TheSettings().Input = 1;
  SmtpTestClient first = Connect();
  SmtpTestClient second(port_);  // lands in the backlog
  auto greeted = std::async(std::launch::async, [&] {
    std::string greeting = second.ReadReply();
    return std::make_pair(greeting, mainWindow.receivedAll.load());
  });
  // Keep the first session busy for a while before it ends.
  for (int i = 0; i < 20; ++i) {
    first.Send("NOOP\r\n");
    EXPECT_EQ(first.ReadReply(), "200 Ok\n");
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

  std::vector<std::string> shown;
  std::mutex shownLock;
  SetSystemErrorDisplay([&](const std::string& text) {
    std::lock_guard<std::mutex> guard(shownLock);
    shown.push_back(text);
  });
  auto thread = threads.Start([this](ThreadHandle& self) { return ListenerThread(mainWindow, self); });
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(thread->WaitFor(std::chrono::seconds(20))) << "the listener ends by itself";
  SetSystemErrorDisplay(nullptr);
  EXPECT_EQ(shown, std::vector<std::string>{SystemErrorText(EADDRINUSE)});
  EXPECT_EQ(LogContent().find("Server started"), std::string::npos);
}

TEST_F(ListenerTest, StopEndsTheListenerAndClosesThePort) {
  int port = StartListener();
  stopRequested.Set();
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
