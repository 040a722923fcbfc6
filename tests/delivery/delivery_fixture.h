#pragma once

#include <fcntl.h>

#include <string>
#include <thread>
#include <vector>

#include "control/settings_loading.h"
#include "delivery/route.h"
#include "delivery/route_walk.h"
#include "platform/file_system.h"
#include "spool/relay_services.h"
#include "spool/spool_file.h"
#include "support/relay_fixture.h"

namespace vellomar::test {

// The worked example of a stored dialogue, each line ending in CR LF.
inline std::string WorkedExample() {
  return "HELO client.example\r\n"
         "MAIL FROM:<sender address>\r\n"
         "RCPT TO:<first address>\r\n"
         "RCPT TO:<second address>\r\n"
         "DATA\r\n"
         "Received: from client.example\r\n"
         "\tby myhost with Vellomar; Sun, 6 Dec 2026 8:5:3 +0100 (CET)\r\n"
         "Subject: Hello\r\n"
         "\r\n"
         "Hi Bob.\r\n"
         ".\r\n"
         "QUIT\r\n";
}

// A stored message whose data outgrows every buffer between the client and the next relay:
// numbered lines of 1,000 bytes, 10 MB in all.
inline std::string LargeMessage() {
  std::string file = "HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<r>\r\nDATA\r\nSubject: large\r\n\r\n";
  for (int i = 0; i < 10 * 1024; ++i) {
    std::string line = "line " + std::to_string(i) + " ";
    file += line + std::string(998 - line.size(), 'd') + "\r\n";
  }
  return file + ".\r\nQUIT\r\n";
}

// The data lines a peer got are the message's first ones, none left out.
inline bool NoHole(const std::vector<std::string>& transcript) {
  int next = 0;
  for (const std::string& line : transcript) {
    if (line.rfind("line ", 0) == 0 && std::stoi(line.substr(5)) != next++) return false;
  }
  return true;
}

// A relay with the notice template in place and short client time limits; spool files are
// written by the test, with the summary a worker would have published for them.
class DeliveryFixture : public RelayFixture {
 protected:
  explicit DeliveryFixture(SignInOptions signIn = {}) : RelayFixture(std::move(signIn)) {
    auto tpl = ReadWholeFile(std::string(VELLOMAR_RESOURCES) + "/error");
    EXPECT_TRUE(tpl.ok());
    appDir().Write("error", tpl.value());
    relay().timings.client = {std::chrono::milliseconds(2000), std::chrono::milliseconds(2000)};
    Configure([&](Settings& s) { s.REAL_RELAY = false; });
    Configure([&](Settings& s) { s.Alternate = ""; });
    HoldClient();
  }

  // A queued notice announces itself to the dispatcher. These tests run the delivery pieces
  // by hand, so a placeholder, paused until the stop, holds the dispatcher's place: an
  // announcement only records that work may wait, and nothing else delivers meanwhile.
  void HoldClient() {
    relay().StartClientThread([](ThreadHandle& self) {
      self.Suspend();
      self.PassGate();
      return 0;
    });
  }
  // Lets the placeholder end, so that announcements start real dispatchers again.
  void ReleaseClient() {
    std::shared_ptr<ThreadHandle> placeholder = relay().TakeClientThread();
    while (placeholder->Resume() == 0 && placeholder->IsRunning()) std::this_thread::yield();
    EXPECT_TRUE(placeholder->WaitFor(std::chrono::seconds(20)));
  }

  // Writes the file and registers it as a running delivery with its summary.
  void Spool(const std::string& name, const std::string& content, const std::string& sender = "<sender address>\r\n",
             const std::string& subject = "Hello\r\n") {
    appDir().Write(name, content);
    MailSummary summary;
    summary.sender = sender;
    summary.subject = subject;
    relay().outgoing.AddWorker(nullptr, name);
    relay().outgoing.UpdateSummary(name, summary);
  }

  SpoolFile Open(const std::string& name) {
    auto file = SpoolFile::Open(appDir().File(name), O_RDWR);
    EXPECT_TRUE(file.ok());
    return std::move(file.value());
  }

  // The position and text of the n-th line (from 0).
  std::pair<off_t, std::string> LineAt(const std::string& name, int n) {
    SpoolFile file = Open(name);
    std::string line;
    off_t position = 0;
    for (int i = 0; i <= n; ++i) {
      position = file.Tell();
      ReadLine(file, line);
    }
    return {position, line};
  }

  // Delivers the n-th line of the file to the server.
  bool Deliver(const std::string& name, int n, const std::string& server, off_t* after = nullptr) {
    auto [position, line] = LineAt(name, n);
    SpoolFile file = Open(name);
    // As the worker does: in simple relaying the server is the one the settings name.
    if (!relay().settings()->REAL_RELAY) Configure([&](Settings& s) { s.SMTP = server; });
    const Settings& settings = *relay().settings();
    bool result = DeliverAlongRoute(relay(), settings, file, name, RouteVia(settings, server), line, position);
    if (after) *after = file.Tell();
    return result;
  }

  // The ".tml" files that are failure notices (all but the given spool file).
  std::vector<std::string> Notices(const std::string& except) {
    std::vector<std::string> notices;
    auto names = ListDirectory(appDir().path());
    for (const std::string& name : names.value()) {
      if (name != except && name.size() > 4 && name.substr(name.size() - 4) == ".tml") notices.push_back(name);
    }
    return notices;
  }
};

}  // namespace vellomar::test
