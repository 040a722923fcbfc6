#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "session_fixture.h"
#include "smtp_server/message_data_filter.h"

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
  // The dot waits for its line end to show whether it ends the data.
  SendStored(client, "Subject: x\r\n\r\nhi\r\n.", "Subject: x\r\n\r\nhi\r\n");
  client.Send("\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  EXPECT_EQ(appDir().Read(kFirstSpool), Head() + "Subject: x\r\n\r\nhi\r\n.\r\nQUIT\r\n");
}

TEST_F(ReceiveDataTest, MarkerAsAChunkOfItsOwnAfterEarlierData) {
  SmtpTestClient client = Invited();
  SendStored(client, "hi", "hi");
  client.Send("\r\n.\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("NOOP\r\n");
  EXPECT_EQ(client.ReadReply(), "250 2.0.0 Ok\r\n");
  EXPECT_EQ(IncomingSummary(kFirstSpool).size, static_cast<int32_t>(appDir().Read(kFirstSpool).size()));
}

TEST_F(ReceiveDataTest, TheEndIsFoundWhereverItFallsInAReceive) {
  // The end of the data and the next command in one piece; a message with no text at all.
  SmtpTestClient client = Invited();
  client.Send("hi\r\n.\r\nQUIT\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  EXPECT_EQ(client.ReadReply(), "221 Ok\r\n");
  EXPECT_EQ(appDir().Read(kFirstSpool), Head() + "hi\r\n.\r\nQUIT\r\n");
  SmtpTestClient empty = Invited();
  empty.Send(".\r\n");
  EXPECT_EQ(empty.ReadReply(), "250 Ok\r\n");
  EXPECT_EQ(appDir().Read(SpoolName(1)), Head() + ".\r\nQUIT\r\n");
}

TEST_F(ReceiveDataTest, ClientClosingMidDataLeavesNothing) {
  SmtpTestClient client = Invited();
  SendStored(client, "Subject: half\r\n", "Subject: half\r\n");
  client.Close();
  ASSERT_TRUE(SessionsEnded(1));
  EXPECT_EQ(mainWindow.receivedOk, 0u);
  EXPECT_FALSE(appDir().Exists(kFirstSpool));
}

TEST_F(ReceiveDataTest, DataIsStoredAsSentButForItsLineEnds) {
  SmtpTestClient client = Invited();
  std::string body = "Subject: bin\r\n\r\na\0b\r\n..dot\r\nbare\nline\r\n"s;
  std::string stored = "Subject: bin\r\n\r\na\0b\r\n..dot\r\nbare\r\nline\r\n"s;
  std::string big;
  for (int i = 0; i < 5000; ++i) big += "line " + std::to_string(i) + " of a longer message\r\n";
  client.Send(body + big + ".\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  EXPECT_EQ(appDir().Read(kFirstSpool), Head() + stored + big + ".\r\nQUIT\r\n");
  client.Send("QUIT\r\n");
  EXPECT_EQ(client.ReadReply(), "221 Ok\r\n");
  ASSERT_TRUE(SessionsEnded(1));
  EXPECT_EQ(mainWindow.receivedOk, 1u);
}

struct FilterCase {
  std::string input;
  std::string stored;
  std::string rest;  // what follows the data: the client's next command
};

TEST(MessageDataFilterTest, LineEndsAreMendedAndOnlyALoneDotFramedByCrLfEndsTheData) {
  const std::vector<FilterCase> cases = {
      {"a\r\nb\r\n.\r\n", "a\r\nb\r\n.\r\n", ""},
      {".\r\n", ".\r\n", ""},
      {"a\r\n.\r\nMAIL FROM:<x>\r\n", "a\r\n.\r\n", "MAIL FROM:<x>\r\n"},
      {"bare\nfeed\r\n.\r\n", "bare\r\nfeed\r\n.\r\n", ""},
      {"bare\rreturn\r\n.\r\n", "bare\r\nreturn\r\n.\r\n", ""},
      {"two\r\r\n.\r\n", "two\r\n\r\n.\r\n", ""},
      // A lone dot after or before a bare line end is content, stuffed so it stays content.
      {"a\n.\nMAIL FROM:<evil>\n", "a\r\n..\r\nMAIL FROM:<evil>\r\n", ""},
      {"a\r\n.\nb", "a\r\n..\r\nb", ""},
      {"a\n.\r\nb", "a\r\n..\r\nb", ""},
      {"a\r\n.\rb", "a\r\n..\r\nb", ""},
      {"..\r\n...x\r\n.y\r\n", "..\r\n...x\r\n.y\r\n", ""},
      {"nul\0\r\n"s, "nul\0\r\n"s, ""},
      // A long line whose last byte is a dot is no end, wherever a reader cuts it.
      {std::string(1002, 'x') + ".\r\n", std::string(1002, 'x') + ".\r\n", ""},
  };
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(c.input);
    MessageDataFilter whole;
    std::string stored;
    EXPECT_EQ(whole.Feed(c.input, stored), c.input.size() - c.rest.size());
    EXPECT_EQ(stored, c.stored);
    const bool ends = c.stored == ".\r\n" ||
                      (c.stored.size() >= 5 && c.stored.compare(c.stored.size() - 5, 5, "\r\n.\r\n") == 0);
    EXPECT_EQ(whole.ended(), ends);
    // Byte by byte, as the slowest client would send it, the result is the same.
    MessageDataFilter bytewise;
    std::string piecewise;
    size_t used = 0;
    for (char byte : c.input) {
      if (bytewise.ended()) break;
      used += bytewise.Feed(std::string_view(&byte, 1), piecewise);
    }
    EXPECT_EQ(piecewise, c.stored);
    EXPECT_EQ(used, c.input.size() - c.rest.size());
  }
}

}  // namespace
}  // namespace vellomar
