#include <gtest/gtest.h>

#include "session_fixture.h"

namespace vellomar {
namespace {

using namespace std::string_literals;
using test::Eventually;
using test::SmtpTestClient;

class ReceiveDataTest : public test::SessionFixture {
 protected:
  // A session that has just been invited to send its data.
  SmtpTestClient Invited() {
    SmtpTestClient client = Connect();
    for (const char* line : {"HELO pc1\r\n", "MAIL FROM:<ann>\r\n", "RCPT TO:<bob>\r\n"}) {
      client.Send(line);
      EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
    }
    client.Send("DATA\r\n");
    EXPECT_EQ(client.ReadReply(), "354 send the mail data, end with .\r\n");
    return client;
  }
  std::string Head() { return "HELO pc1\r\nMAIL FROM:<ann>\r\nRCPT TO:<bob>\r\nDATA\r\n" + TraceHeader("pc1"); }
  // Sends a piece and waits until the session has stored it, so the next piece is a chunk
  // of its own.
  void SendStored(SmtpTestClient& client, const std::string& piece, const std::string& storedSoFar) {
    client.Send(piece);
    ASSERT_TRUE(Eventually([&] { return appDir().Read(kFirstSpool) == Head() + storedSoFar; }));
  }
  void ExpectFailedAndDeleted(SmtpTestClient& client) {
    std::string rest;
    EXPECT_TRUE(client.WaitClosed(20000, &rest));
    EXPECT_EQ(rest, "");
    ASSERT_TRUE(SessionsEnded(1));
    EXPECT_EQ(mainWindow.receivedOk, 0u);
    EXPECT_FALSE(appDir().Exists(kFirstSpool));
    EXPECT_FALSE(Held(kFirstSpool));
  }
};

TEST_F(ReceiveDataTest, MarkerSplitOverChunksIsRecognised) {
  SmtpTestClient client = Invited();
  SendStored(client, "Subject: x\r\n\r\nhi\r\n.", "Subject: x\r\n\r\nhi\r\n.");
  client.Send("\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  EXPECT_EQ(appDir().Read(kFirstSpool), Head() + "Subject: x\r\n\r\nhi\r\n.\r\n");
}

TEST_F(ReceiveDataTest, MarkerAsAChunkOfItsOwnAfterEarlierData) {
  SmtpTestClient client = Invited();
  SendStored(client, "hi", "hi");
  client.Send("\r\n.\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("NOOP\r\n");
  EXPECT_EQ(client.ReadReply(), "200 Ok\n");
  EXPECT_EQ(IncomingSummary(kFirstSpool).size, static_cast<int32_t>(appDir().Read(kFirstSpool).size()));
}

TEST_F(ReceiveDataTest, EndNotRecognisedUnlessTheMarkerEndsAChunk) {
  SetDefaultReadWait(std::chrono::milliseconds(200));
  for (const std::string& data : {"hi\r\n.\r\nQUIT\r\n"s, ".\r\n"s}) {
    SCOPED_TRACE(data);
    SmtpTestClient client = Invited();
    client.Send(data);
    std::string rest;
    EXPECT_TRUE(client.WaitClosed(20000, &rest));
    EXPECT_EQ(rest, "") << "no 250 for an unrecognised end";
    mainWindow.receivedAll = 0;
  }
  std::lock_guard<std::mutex> guard(QueueLock());
  std::string name;
  EXPECT_FALSE(TheQueueList().TakeNextFile(name)) << "every partial file was deleted: " << name;
}

TEST_F(ReceiveDataTest, ClientClosingMidDataLeavesNothing) {
  SmtpTestClient client = Invited();
  SendStored(client, "Subject: half\r\n", "Subject: half\r\n");
  client.Close();
  ASSERT_TRUE(SessionsEnded(1));
  EXPECT_EQ(mainWindow.receivedOk, 0u);
  EXPECT_FALSE(appDir().Exists(kFirstSpool));
}

TEST_F(ReceiveDataTest, DataIsStoredByteForByteNulsIncluded) {
  SmtpTestClient client = Invited();
  std::string body = "Subject: bin\r\n\r\na\0b\r\n..dot\r\nbare\nline\r\n"s;
  std::string big;
  for (int i = 0; i < 5000; ++i) big += "line " + std::to_string(i) + " of a longer message\r\n";
  client.Send(body + big + ".\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("QUIT\r\n");
  EXPECT_EQ(client.ReadReply(), "221 Ok\r\n");
  ASSERT_TRUE(SessionsEnded(1));
  EXPECT_EQ(appDir().Read(kFirstSpool), Head() + body + big + ".\r\nQUIT\r\n");
  EXPECT_EQ(mainWindow.receivedOk, 1u);
}

}  // namespace
}  // namespace vellomar
