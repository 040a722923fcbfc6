#include "delivery/reply_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "support/loopback.h"

namespace vellomar {
namespace {

using std::chrono::milliseconds;

class ReplyReaderTest : public ::testing::Test {
 protected:
  ReplyReaderTest() : pair_(test::ConnectLoopback()), connection_(std::move(pair_.server)) {}
  void PeerSends(const std::string& text) {
    ASSERT_EQ(::send(pair_.client.get(), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  }

  test::LoopbackPair pair_;
  Connection connection_;
  ReplyReader reader_;
};

TEST_F(ReplyReaderTest, RepliesEndAtTheFirstLineWithoutAHyphen) {
  struct Case {
    std::string sent;
    std::vector<std::string> replies;
  };
  const std::vector<Case> cases = {
      {"250 ok\r\n", {"250 ok\r\n"}},
      {"250-a\r\n250-b\r\n250 c\r\n", {"250-a\r\n250-b\r\n250 c\r\n"}},
      {"250\r\n", {"250\r\n"}},
      {"250\n", {"250\n"}},
      {"250-a\r\nnonsense\r\n", {"250-a\r\nnonsense\r\n"}},
      {"25x-a\r\n", {"25x-a\r\n"}},
      {"220 hi\r\n250 ok\r\n", {"220 hi\r\n", "250 ok\r\n"}},
  };
  for (const Case& c : cases) {
    PeerSends(c.sent);
    for (const std::string& want : c.replies) {
      std::string reply;
      ASSERT_TRUE(reader_.Read(connection_, milliseconds(20000), reply)) << c.sent;
      EXPECT_EQ(reply, want);
    }
  }
}

TEST_F(ReplyReaderTest, AReplyInPiecesIsOneReply) {
  PeerSends("250-fir");
  std::string reply;
  std::thread later([this] { PeerSends("st\r\n250 second\r\n"); });
  EXPECT_TRUE(reader_.Read(connection_, milliseconds(20000), reply));
  later.join();
  EXPECT_EQ(reply, "250-first\r\n250 second\r\n");
}

TEST_F(ReplyReaderTest, SilenceLossAndOversizeAreNoReply) {
  std::string reply;
  PeerSends("250-waiting for the rest\r\n");
  EXPECT_FALSE(reader_.Read(connection_, milliseconds(100), reply));

  ReplyReader fresh;
  std::string huge;
  while (huge.size() <= ReplyReader::kMaxReply) huge += "250-" + std::string(70, 'x') + "\r\n";
  PeerSends(huge + "250 end\r\n");
  EXPECT_FALSE(fresh.Read(connection_, milliseconds(20000), reply));

  ReplyReader last;
  ASSERT_TRUE(pair_.client.Close());
  EXPECT_FALSE(last.Read(connection_, milliseconds(20000), reply));
}

}  // namespace
}  // namespace vellomar
