#include "smtp_server/server_session.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <thread>

#include "common/system_error.h"
#include "session_fixture.h"
#include "support/loopback.h"

namespace vellomar {
namespace {

using namespace std::string_literals;

using test::SmtpTestClient;

class ServerSessionTest : public test::SessionFixture {};

TEST_F(ServerSessionTest, CompleteDialogueLeavesTheExactSpoolFileAndReleasesIt) {
  SmtpTestClient client = Connect();
  EXPECT_TRUE(Held(kFirstSpool)) << "reserved while the session runs";
  client.Send("HELO pc1\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("MAIL FROM:<ann>\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("RCPT TO:<bob>\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("rcpt to:<carl>\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("NOOP\r\n");
  EXPECT_EQ(client.ReadReply(), "200 Ok\n");

  MailSummary summary = IncomingSummary(kFirstSpool);
  EXPECT_EQ(summary.sender, "<ann>");
  EXPECT_EQ(summary.recipientCount, 2);
  EXPECT_EQ(summary.subject, "Unknown");
  EXPECT_EQ(summary.size, static_cast<int32_t>(appDir().Read(kFirstSpool).size()));

  client.Send("DATA\r\n");
  EXPECT_EQ(client.ReadReply(), "354 send the mail data, end with .\r\n");
  client.Send("Subject: Hello\r\n\r\n..x\r\nHi Bob.\r\n.\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("QUIT\r\n");
  EXPECT_EQ(client.ReadReply(), "221 Ok\r\n");
  EXPECT_TRUE(client.WaitClosed());
  ASSERT_TRUE(SessionsEnded(1));

  EXPECT_EQ(appDir().Read(kFirstSpool), "HELO pc1\r\nMAIL FROM:<ann>\r\nRCPT TO:<bob>\r\nrcpt to:<carl>\r\nDATA\r\n" +
                                            TraceHeader("pc1") +
                                            "Subject: Hello\r\n\r\n..x\r\nHi Bob.\r\n.\r\nQUIT\r\n");
  EXPECT_EQ(mainWindow.receivedAll, 1u);
  EXPECT_EQ(mainWindow.receivedOk, 1u);
  // Released for delivery, and the dispatcher asked for.
  EXPECT_TRUE(test::Eventually([this] { return LogContent().find("Client starting...\r\n") != std::string::npos; }));
  std::lock_guard<std::mutex> guard(IncomingLock());
  EXPECT_EQ(IncomingRegistry().size(), 0u);
}

struct Exchange {
  std::string send;
  std::string reply;  // "" when no reply is expected
};

struct DialogueCase {
  const char* name;
  std::vector<Exchange> exchanges;
  bool endsSession;  // the connection is closed after the last exchange
};

const std::vector<Exchange> kUpToData = {{"HELO a\r\n", "250 Ok\r\n"},
                                         {"MAIL FROM:<a>\r\n", "250 Ok\r\n"},
                                         {"RCPT TO:<b>\r\n", "250 Ok\r\n"}};

std::vector<Exchange> Then(std::vector<Exchange> first, const std::vector<Exchange>& more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}

TEST_F(ServerSessionTest, RepliesLineEndsAndTheStateTable) {
  const std::string unrecognized = "500 Syntax error, command unrecognized\n";
  const std::vector<DialogueCase> cases = {
      {"lower-case helo", {{"helo pc1\r\n", "250 Ok\r\n"}}, false},
      {"HELO CR LF", {{"HELO\r\n", "501 HELO requires domain address\n"}}, true},
      {"HELO x LF", {{"HELO x\n", "501 HELO requires domain address\n"}}, true},
      {"HELO x CR LF", {{"HELO x\r\n", "250 Ok\r\n"}}, false},
      {"HELOX", {{"HELOX pc\r\n", "250 Ok\r\n"}}, false},
      {"EHLO", {{"EHLO pc1\r\n", unrecognized}}, true},
      {"NOOP first", {{"NOOP\r\n", "200 Ok\n"}, {"HELO a\r\n", "250 Ok\r\n"}}, false},
      {"MAIL before HELO", {{"MAIL FROM:<a>\r\n", unrecognized}}, true},
      {"second HELO", {{"HELO a\r\n", "250 Ok\r\n"}, {"HELO a\r\n", unrecognized}}, true},
      {"second MAIL", {{"HELO a\r\n", "250 Ok\r\n"}, {"MAIL FROM:<a>\r\n", "250 Ok\r\n"}, {"MAIL FROM:<a>\r\n", unrecognized}},
       true},
      {"DATA before RCPT", {{"HELO a\r\n", "250 Ok\r\n"}, {"MAIL FROM:<a>\r\n", "250 Ok\r\n"}, {"DATA\r\n", unrecognized}},
       true},
      {"RCPT after DATA",
       Then(kUpToData, {{"DATA\r\n", "354 send the mail data, end with .\r\n"},
                        {"x\r\n.\r\n", "250 Ok\r\n"},
                        {"RCPT TO:<c>\r\n", unrecognized}}),
       true},
      {"early QUIT", Then(kUpToData, {{"QUIT\r\n", ""}}), true},
      {"VRFY", {{"VRFY ann\r\n", "Command not implemented\n"}}, true},
      {"AUTH after HELO", {{"HELO a\r\n", "250 Ok\r\n"}, {"AUTH LOGIN\r\n", "Command not implemented\n"}}, true},
      {"EXPN", {{"expn list\r\n", "Command not implemented\n"}}, true},
      {"bare line end", {{"\r\n", ""}}, true},
      {"MAIL without colon", {{"HELO a\r\n", "250 Ok\r\n"}, {"MAIL ann\r\n", "250 Ok\r\n"}}, false},
  };
  uint32_t ended = 0;
  for (const DialogueCase& c : cases) {
    SCOPED_TRACE(c.name);
    SmtpTestClient client = Connect();
    for (const Exchange& exchange : c.exchanges) {
      client.Send(exchange.send);
      if (!exchange.reply.empty()) {
        EXPECT_EQ(client.ReadReply(), exchange.reply);
      }
    }
    if (c.endsSession) {
      std::string rest;
      EXPECT_TRUE(client.WaitClosed(20000, &rest));
      EXPECT_EQ(rest, "") << "nothing more after the reply";
    } else {
      client.Send("NOOP\r\n");
      EXPECT_EQ(client.ReadReply(), "200 Ok\n") << "the session goes on";
      client.Close();
    }
    ASSERT_TRUE(SessionsEnded(++ended));
    EXPECT_EQ(mainWindow.receivedOk, 0u);
  }
  // Every failed ending deleted its partial file and released its name.
  std::lock_guard<std::mutex> guard(QueueLock());
  EXPECT_EQ(TheQueueList().size(), 0u);
  std::string name;
  EXPECT_FALSE(TheQueueList().TakeNextFile(name)) << name;
}

TEST_F(ServerSessionTest, HeloDomainAndSenderTakenFromTheirLines) {
  SmtpTestClient client = Connect();
  client.Send("helo pc1\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("MAIL ann\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("RCPT TO:<b>\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  EXPECT_EQ(IncomingSummary(kFirstSpool).sender, "Unknown");
  client.Send("DATA\r\n");
  EXPECT_EQ(client.ReadReply(), "354 send the mail data, end with .\r\n");
  client.Send("x\r\n.\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  EXPECT_NE(appDir().Read(kFirstSpool).find(TraceHeader("pc1")), std::string::npos);
}

TEST_F(ServerSessionTest, TwoCommandsInOneSegmentAreOneCommandLine) {
  SmtpTestClient client = Connect();
  client.Send("HELO a\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("MAIL FROM:<ann>\r\nRCPT TO:<bob>\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  EXPECT_TRUE(client.Silent(100)) << "one reply for the pair";
  client.Send("RCPT TO:<carl>\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("NOOP\r\n");
  EXPECT_EQ(client.ReadReply(), "200 Ok\n");
  MailSummary summary = IncomingSummary(kFirstSpool);
  EXPECT_EQ(summary.sender, "<ann>");
  EXPECT_EQ(summary.recipientCount, 1);
  EXPECT_EQ(appDir().Read(kFirstSpool), "HELO a\r\nMAIL FROM:<ann>\r\nRCPT TO:<bob>\r\nRCPT TO:<carl>\r\n");
}

TEST_F(ServerSessionTest, CommandLinesAreBounded) {
  SmtpTestClient client = Connect();
  client.Send("HELO pc\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  std::string longest = "MAIL FROM:<" + std::string(1000 - 14, 'a') + ">\r\n";
  ASSERT_EQ(longest.size(), 1000u);
  client.Send(longest);
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  client.Send("RCPT TO:<" + std::string(1001 - 12, 'b') + ">\r\n");
  std::string rest;
  EXPECT_TRUE(client.WaitClosed(20000, &rest));
  EXPECT_EQ(rest, "") << "a line of 1,001 bytes gets no reply";
  ASSERT_TRUE(SessionsEnded(1));
  EXPECT_FALSE(appDir().Exists(kFirstSpool));
}

// Bytes waiting in the socket's receive queue.
int Unread(int fd) {
  int pending = -1;
  ::ioctl(fd, FIONREAD, &pending);
  return pending;
}

TEST_F(ServerSessionTest, ReadCommandDropsWhatFollowsANulInAReceive) {
  auto pair = test::ConnectLoopback();
  SessionRun run{ServerSession{}, mainWindow, Connection(std::move(pair.server)), FileDescriptor(), Greeted};
  const int serverFd = run.connection.fd();
  std::string line;
  bool read = false;
  std::thread session([&] { read = ReadCommand(run, line); });
  ASSERT_EQ(::send(pair.client.get(), "HELO pc\0junk\r\n", 14, 0), 14);
  // Once the session has taken those bytes, the line end that came after the NUL is gone.
  ASSERT_TRUE(test::Eventually([&] { return Unread(serverFd) == 0; }));
  ASSERT_EQ(::send(pair.client.get(), "\r\n", 2, 0), 2);
  session.join();
  EXPECT_TRUE(read);
  EXPECT_EQ(line, "HELO pc\r\n");
}

TEST_F(ServerSessionTest, SilenceEndsTheSessionWithoutAReply) {
  SetDefaultReadWait(std::chrono::milliseconds(200));
  SmtpTestClient client = Connect();
  client.Send("HELO a\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  std::string rest;
  EXPECT_TRUE(client.WaitClosed(20000, &rest));
  EXPECT_EQ(rest, "");
  ASSERT_TRUE(SessionsEnded(1));
  EXPECT_EQ(mainWindow.receivedOk, 0u);
  EXPECT_FALSE(appDir().Exists(kFirstSpool));
  EXPECT_FALSE(Held(kFirstSpool));
}

TEST_F(ServerSessionTest, SessionCancelledAtShutdownDeletesItsPartialFile) {
  SmtpTestClient client = Connect();
  client.Send("HELO a\r\n");
  EXPECT_EQ(client.ReadReply(), "250 Ok\r\n");
  ASSERT_TRUE(appDir().Exists(kFirstSpool));
  stopRequested.Set();
  {
    std::unique_lock<std::mutex> held(IncomingLock());
    IncomingRegistry().TerminateAll(held);
  }
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(mainWindow.receivedAll, 1u);
  EXPECT_FALSE(appDir().Exists(kFirstSpool));
}

TEST_F(ServerSessionTest, ExistingFileUnderTheReservedNameIsNeitherTruncatedNorDeleted) {
  // Something else created the file after its name was checked free: the session ends
  // without a reply, shows the system's text and leaves that file alone.
  std::vector<std::string> shown;
  SetSystemErrorDisplay([&shown](const std::string& text) { shown.push_back(text); });
  appDir().Write(kFirstSpool, "not ours");
  auto pair = test::ConnectLoopback();
  ServerSession session;
  session.socket = std::move(pair.server);
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    session.spoolName = TheQueueList().NewSpoolName(false);
    TheQueueList().Add(kFirstSpool);
  }
  session.spoolName = kFirstSpool;
  auto shared = std::make_shared<ServerSession>(std::move(session));
  auto thread = threads.Start([this, shared](ThreadHandle&) { return SessionThread(std::move(*shared), mainWindow); });
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(thread->WaitFor(std::chrono::seconds(20)));
  SetSystemErrorDisplay(nullptr);
  EXPECT_EQ(shown, std::vector<std::string>{"File exists"});
  EXPECT_TRUE(test::WaitReadable(pair.client.get(), 20000));
  char byte;
  EXPECT_EQ(::recv(pair.client.get(), &byte, 1, 0), 0) << "closed without a greeting";
  EXPECT_EQ(appDir().Read(kFirstSpool), "not ours");
  EXPECT_FALSE(Held(kFirstSpool));
  EXPECT_EQ(mainWindow.receivedAll, 1u);
}

}  // namespace
}  // namespace vellomar
