#pragma once

#include <string>

#include "common/flags.h"
#include "platform/local_clock.h"
#include "smtp_server/server_session.h"
#include "smtp_server/local_host_name.h"
#include "smtp_server/mail_date_text.h"
#include "spool/spool_lists.h"
#include "support/relay_fixture.h"
#include "support/smtp_test_client.h"

namespace vellomar::test {

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

  // Connects and reads the greeting.
  SmtpTestClient Connect() {
    SmtpTestClient client(port_ ? port_ : (port_ = StartListener()));
    EXPECT_EQ(client.ReadReply(), kGreeting);
    return client;
  }

  std::string TraceHeader(const std::string& helo) {
    return "Received: from " + helo + "\r\n\tby " + localHostName.Get() + " with Vellomar; " +
           "Sun, 6 Dec 2026 8:5:3 +0100 (CET)\r\n";
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

  bool SessionsEnded(uint32_t count) {
    return Eventually([&] { return mainWindow.receivedAll.load() >= count; });
  }

  int port_ = 0;
};

}  // namespace vellomar::test
