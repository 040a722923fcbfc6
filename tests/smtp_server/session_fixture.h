#pragma once

#include <string>
#include <vector>

#include "common/flags.h"
#include "platform/local_clock.h"
#include "smtp_server/server_session.h"
#include "smtp_server/local_host_name.h"
#include "smtp_server/mail_date_text.h"
#include "spool/spool_lists.h"
#include "support/relay_fixture.h"
#include "support/smtp_test_client.h"

namespace vellomar::test {

// One line a client sends and the whole reply it expects ("" for none).
struct Exchange {
  std::string send;
  std::string reply;
};

// A running listener at a fixed moment (Sunday 6 December 2026, 8:05:03 CET), so that
// greetings, trace headers and spool names are known in advance.
class SessionFixture : public RelayFixture {
 protected:
  SessionFixture() {
    std::tm moment = LocalTimeOfDay(8, 5, 3);
    moment.tm_wday = 0;
    moment.tm_gmtoff = 3600;
    moment.tm_zone = "CET";
    SetLocalTimeSource([moment] { return moment; });
  }

  static constexpr const char* kGreeting = "220 vesk Vellomar 0.2 ready at Sun, 6 Dec 2026 8:5:3 +0100 (CET)\r\n";
  static constexpr const char* kFirstSpool = "853.tml";
  // The n-th name the listener and the sessions hand out while the first n-1 files stay on
  // disk (delivery may hold their names, so a test never removes a file to reuse its name).
  static std::string SpoolName(int n) { return n == 0 ? kFirstSpool : "853_" + std::to_string(n - 1) + ".tml"; }

  // Connects and reads the greeting.
  SmtpTestClient Connect() {
    SmtpTestClient client(port_ ? port_ : (port_ = StartListener()));
    EXPECT_EQ(client.ReadReply(), kGreeting);
    return client;
  }

  std::string TraceHeader(const std::string& helo, const std::string& client = "127.0.0.1") {
    return "Received: from " + helo + " ([" + client + "])\r\n\tby " + localHostName.Get() + " with Vellomar; " +
           "Sun, 6 Dec 2026 08:05:03 +0100\r\n";
  }

  bool Held(const std::string& name) {
    std::lock_guard<std::mutex> guard(QueueLock());
    return TheQueueList().Contains(name);
  }

  MailSummary IncomingSummary(const std::string& name) {
    MailSummary summary;
    std::lock_guard<std::mutex> guard(IncomingLock());
    EXPECT_TRUE(IncomingRegistry().GetSummary(name, summary)) << name;
    return summary;
  }

  // Sends each line and expects its whole reply (nothing when the reply is empty).
  void Converse(SmtpTestClient& client, const std::vector<Exchange>& exchanges) {
    for (const Exchange& exchange : exchanges) {
      client.Send(exchange.send);
      if (!exchange.reply.empty()) {
        EXPECT_EQ(client.ReadFullReply(), exchange.reply) << "after " << exchange.send;
      }
    }
  }

  // Every session has left the registry.
  bool NoSessions() {
    return Eventually([] {
      std::lock_guard<std::mutex> guard(IncomingLock());
      return IncomingRegistry().size() == 0;
    });
  }

  bool SessionsEnded(uint32_t count) {
    return Eventually([&] { return mainWindow.receivedAll.load() >= count; });
  }

  int port_ = 0;
};

}  // namespace vellomar::test
