// A hunter for a message that is accepted and then left waiting: rounds of concurrent
// receptions into the real program while its deliveries run, every accepted message due at
// the next relay within 10 s of its "250 Ok". Not part of the default run (CTest label
// "stress"); VELLOMAR_HUNT_ROUNDS sets the number of rounds (300 unless given).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "support/smtp_peer.h"
#include "vellomar_fixture.h"

namespace vellomar {
namespace {

using Clock = std::chrono::steady_clock;
using test::SmtpPeer;
using test::SmtpTestClient;

constexpr int kClients = 10;
constexpr auto kDue = std::chrono::seconds(10);

class StallHuntTest : public test::VellomarTest {
 protected:
  // The next relay: a message counts as delivered when its transaction reaches QUIT.
  std::string Sink(int connection, const std::string& line) {
    std::lock_guard<std::mutex> guard(lock_);
    if (line.rfind("RCPT", 0) == 0) recipientOf_[connection] = line;
    if (line.rfind("QUIT", 0) == 0) delivered_.emplace(recipientOf_[connection], Clock::now());
    return SmtpPeer::AcceptAll(connection, line);
  }

  // One message from a plain HELO client; recorded when the relay answered 250 to its data.
  void SubmitOne(const std::string& id, size_t size) {
    SmtpTestClient client(port_);
    const std::string rcpt = "RCPT TO:<" + id + "@example.org>\r\n";
    bool ok = client.ReadReply().rfind("220 ", 0) == 0;
    for (const std::string& line : {std::string("HELO hunter\r\n"), std::string("MAIL FROM:<h@example.org>\r\n"), rcpt}) {
      if (!ok) break;
      client.Send(line);
      ok = client.ReadReply() == "250 Ok\r\n";
    }
    if (ok) {
      client.Send("DATA\r\n");
      ok = client.ReadReply().rfind("354", 0) == 0;
    }
    if (ok) {
      client.Send("Subject: " + id + "\r\n\r\n" + std::string(size, 'h') + "\r\n.\r\n");
      ok = client.ReadReply() == "250 Ok\r\n";
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (!ok) {
      ++refused_;
      return;
    }
    accepted_.emplace(rcpt, Clock::now());
    client.Send("QUIT\r\n");
  }

  // Accepted messages not delivered within kDue as of `now`.
  std::vector<std::string> Overdue(Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> late;
    for (const auto& [rcpt, at] : accepted_) {
      if (at + kDue < now && delivered_.count(rcpt) == 0) late.push_back(rcpt);
    }
    return late;
  }

  std::string Diagnostics(const std::vector<std::string>& late) {
    std::string text = std::to_string(late.size()) + " overdue, first " + late.front();
    for (const std::string& name : SpoolFiles()) text += "left: " + name + "\n";
    std::string log = Log();
    return text + log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
  }

  std::mutex lock_;
  std::map<int, std::string> recipientOf_;
  std::map<std::string, Clock::time_point> accepted_;
  std::map<std::string, Clock::time_point> delivered_;
  int refused_ = 0;
};

int Rounds() {
  const char* text = std::getenv("VELLOMAR_HUNT_ROUNDS");
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 300;
}

TEST_F(StallHuntTest, EveryAcceptedMessageIsDeliveredWithinTenSeconds) {
  SmtpPeer sink([this](int connection, const std::string& line) { return Sink(connection, line); });
  Configure("SMTP=" + sink.server() + "\nLogsize=100000\n");
  Start();
  std::mt19937 random(7);
  const int rounds = Rounds();
  for (int round = 0; round < rounds; ++round) {
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      size_t size = 1000 + random() % 200000;
      std::string id = "m" + std::to_string(round) + "_" + std::to_string(c);
      clients.emplace_back([this, id, size] { SubmitOne(id, size); });
    }
    for (std::thread& client : clients) client.join();
    auto late = Overdue(Clock::now());
    ASSERT_TRUE(late.empty()) << "round " << round << ": " << Diagnostics(late);
  }
  // The last ones are given their full time.
  test::Eventually(
      [this] {
        std::lock_guard<std::mutex> guard(lock_);
        return delivered_.size() >= accepted_.size();
      },
      static_cast<int>(std::chrono::milliseconds(kDue).count()) + 100);
  auto late = Overdue(Clock::now());
  ASSERT_TRUE(late.empty()) << Diagnostics(late);
  std::lock_guard<std::mutex> guard(lock_);
  EXPECT_EQ(refused_, 0);
  EXPECT_EQ(accepted_.size(), static_cast<size_t>(rounds * kClients));
  std::printf("%d rounds, %zu messages accepted, all delivered within %lld s\n", rounds, accepted_.size(),
              static_cast<long long>(kDue.count()));
}

}  // namespace
}  // namespace vellomar
