#include "smtp_server/server_session.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <thread>

#include "common/base64.h"
#include "common/settings.h"
#include "common/user_file.h"
#include "common/system_error.h"
#include "platform/file_system.h"
#include "spool/message_writer.h"
#include "session_fixture.h"
#include "smtp_server/listener.h"

namespace vellomar {
namespace {

using namespace std::string_literals;

using test::Eventually;
using test::Exchange;
using test::SmtpTestClient;

const std::string kUnrecognized = "500 5.5.2 Command unrecognized\r\n";
const std::string kBadSequence = "503 5.5.1 Bad sequence of commands\r\n";
const std::string kMailSyntax = "501 5.5.4 Syntax: MAIL FROM:<address>\r\n";
const std::string kRcptSyntax = "501 5.5.4 Syntax: RCPT TO:<address>\r\n";
const std::string kNotImplemented = "502 5.5.1 Command not implemented\r\n";
const std::string kNoop = "250 2.0.0 Ok\r\n";
const std::string kTimedOut = "421 4.4.2 Timeout, closing connection\r\n";
const std::string kEhloReply = "250-vesk\r\n250-PIPELINING\r\n250-SIZE 52428800\r\n250 8BITMIME\r\n";
const std::string kInvited = "354 send the mail data, end with .\r\n";

class ServerSessionTest : public test::SessionFixture {
 protected:
  // A message sent command by command, each reply checked.
  void SendMessage(SmtpTestClient& client, const std::string& from, const std::vector<std::string>& to,
                   const std::string& data) {
    Converse(client, {{"MAIL FROM:<" + from + ">\r\n", "250 Ok\r\n"}});
    for (const std::string& address : to) Converse(client, {{"RCPT TO:<" + address + ">\r\n", "250 Ok\r\n"}});
    Converse(client, {{"DATA\r\n", kInvited}, {data, "250 Ok\r\n"}});
  }
  // What a spool file holds for such a message.
  std::string Stored(const std::string& helo, const std::string& from, const std::vector<std::string>& to,
                     const std::string& data) {
    std::string file = "HELO " + helo + "\r\nMAIL FROM:<" + from + ">\r\n";
    for (const std::string& address : to) file += "RCPT TO:<" + address + ">\r\n";
    return file + "DATA\r\n" + TraceHeader(helo) + data + "QUIT\r\n";
  }
  // The window shows a connection's summary as it stood before its latest command.
  MailSummary SummaryNow(SmtpTestClient& client, const std::string& name) {
    Converse(client, {{"NOOP\r\n", kNoop}});
    return IncomingSummary(name);
  }
};

TEST_F(ServerSessionTest, AMessageIsStoredWholeAndReleasedBeforeItsAcknowledgement) {
  SmtpTestClient client = Connect();
  EXPECT_TRUE(Held(kFirstSpool)) << "reserved while the session runs";
  Converse(client, {{"HELO pc1\r\n", "250 Ok\r\n"},
                    {"MAIL FROM:<ann>\r\n", "250 Ok\r\n"},
                    {"RCPT TO:<bob>\r\n", "250 Ok\r\n"},
                    {"rcpt to:<carl>\r\n", "250 Ok\r\n"},
                    {"NOOP\r\n", kNoop}});
  MailSummary summary = IncomingSummary(kFirstSpool);
  EXPECT_EQ(summary.sender, "<ann>");
  EXPECT_EQ(summary.recipientCount, 2);
  EXPECT_EQ(summary.subject, "Unknown");
  EXPECT_EQ(summary.size, static_cast<int32_t>(appDir().Read(kFirstSpool).size()));

  Converse(client, {{"DATA\r\n", kInvited}, {"Subject: Hello\r\n\r\n..x\r\nHi Bob.\r\n.\r\n", "250 Ok\r\n"}});
  // The 250 came after the file was complete, counted and released: QUIT adds nothing.
  const std::string expected = "HELO pc1\r\nMAIL FROM:<ann>\r\nRCPT TO:<bob>\r\nRCPT TO:<carl>\r\nDATA\r\n" +
                               TraceHeader("pc1") + "Subject: Hello\r\n\r\n..x\r\nHi Bob.\r\n.\r\nQUIT\r\n";
  EXPECT_EQ(appDir().Read(kFirstSpool), expected);
  EXPECT_EQ(relay().counters.receivedAll, 1u);
  EXPECT_EQ(relay().counters.receivedOk, 1u);
  Converse(client, {{"QUIT\r\n", "221 Ok\r\n"}});
  EXPECT_TRUE(client.WaitClosed());
  ASSERT_TRUE(NoSessions());
  EXPECT_EQ(appDir().Read(kFirstSpool), expected);
  EXPECT_EQ(relay().counters.receivedAll, 1u) << "an ending after a handed-over message counts nothing more";
  EXPECT_TRUE(Eventually([this] { return LogContent().find("Client starting...\r\n") != std::string::npos; }));
}

// Once the relay is set up for local names, a client on this machine that names a local user
// gets what vellomar-sendmail's mail gets: the aliases, the local domain, the local sender.
TEST_F(ServerSessionTest, ALoopbackClientsLocalNamesAreResolvedOnceConfigured) {
  appDir().Write("aliases", "root: jane, admin@provider.example\nloop: loop2\nloop2: loop\n");
  Configure([&](Settings& s) {
    s.Aliases = appDir().File("aliases");
    s.LocalDomain = "mypc.example";
    s.LocalSender = "me@provider.example";
  });
  SmtpTestClient client = Connect();
  Converse(client, {{"HELO pc1\r\n", "250 Ok\r\n"},
                    {"MAIL FROM:<jane@MyPC.example>\r\n", "250 Ok\r\n"},
                    {"RCPT TO:<root>\r\n", "250 Ok\r\n"},
                    {"RCPT TO:<loop>\r\n", "550 5.1.1 <loop>: alias loop: loop -> loop2 -> loop\r\n"},
                    {"RCPT TO:<bob@other.example>\r\n", "250 Ok\r\n"},
                    {"DATA\r\n", kInvited},
                    {"From: Jane <jane>\r\nBcc: kept@x.example\r\n\r\nhi\r\n.\r\n", "250 Ok\r\n"},
                    {"QUIT\r\n", "221 Ok\r\n"}});
  EXPECT_EQ(appDir().Read(kFirstSpool),
            "HELO pc1\r\nMAIL FROM:<me@provider.example>\r\nRCPT TO:<jane@mypc.example>\r\n"
            "RCPT TO:<admin@provider.example>\r\nRCPT TO:<bob@other.example>\r\nDATA\r\n" +
                TraceHeader("pc1") + "From: Jane <me@provider.example>\r\nBcc: kept@x.example\r\n\r\nhi\r\n.\r\nQUIT\r\n");
}

struct DialogueCase {
  DialogueCase(const char* n, std::vector<Exchange> e, const char* c = nullptr, std::string s = "")
      : name(n), exchanges(std::move(e)), closes(c), stored(std::move(s)) {}
  const char* name;
  std::vector<Exchange> exchanges;
  const char* closes;  // what comes before the server closes; nullptr: the session goes on
  std::string stored;  // the session's spool file after the last exchange, when given
};

TEST_F(ServerSessionTest, RepliesLineEndsAndTheStateTable) {
  const Exchange helo = {"HELO a\r\n", "250 Ok\r\n"};
  const std::vector<Exchange> upToRcpt = {helo, {"MAIL FROM:<a>\r\n", "250 Ok\r\n"}, {"RCPT TO:<b>\r\n", "250 Ok\r\n"}};
  auto then = [](std::vector<Exchange> first, const std::vector<Exchange>& more) {
    first.insert(first.end(), more.begin(), more.end());
    return first;
  };
  const std::string path256 = std::string(244, 'b') + "@x.example";
  std::vector<Exchange> tenErrors(10, {"BDAT 1\r\n", kUnrecognized});
  // Trace fields as relays write them, some in other letter cases or with a blank before the colon.
  auto hops = [](int count) {
    std::string fields;
    for (int i = 0; i < count; ++i) {
      fields += std::string(i % 7 == 0 ? "received :" : i % 5 == 0 ? "RECEIVED:" : "Received:") + " from h" +
                std::to_string(i) + "\r\n\tby r" + std::to_string(i) + "; Sun, 6 Dec 2026 08:05:03 +0100\r\n";
    }
    return fields;
  };
  const std::string nonAscii = "553 5.6.7 Non-ASCII addresses not permitted\r\n";
  const std::vector<DialogueCase> cases = {
      {"lower-case helo", {{"helo pc1\r\n", "250 Ok\r\n"}}, nullptr, "HELO pc1\r\n"},
      {"HELO CR LF", {{"HELO\r\n", "501 5.5.4 HELO requires domain address\r\n"}}},
      {"HELO x LF", {{"HELO x\n", "250 Ok\r\n"}}, nullptr, "HELO x\r\n"},
      {"HELO x CR LF", {{"HELO x\r\n", "250 Ok\r\n"}}},
      {"HELOX", {{"HELOX pc\r\n", kUnrecognized}}},
      {"EHLO", {{"EHLO pc1\r\n", kEhloReply}}},
      {"lower-case ehlo", {{"ehlo pc1\r\n", kEhloReply}}},
      {"EHLO without a domain", {{"EHLO \r\n", "501 5.5.4 EHLO requires domain address\r\n"}}},
      {"EHLO after HELO begins afresh", then(upToRcpt, {{"EHLO c\r\n", kEhloReply}}), nullptr, "HELO c\r\n"},
      {"NOOP first", {{"NOOP\r\n", kNoop}, helo}},
      {"MAIL before HELO", {{"MAIL FROM:<a>\r\n", kBadSequence}}},
      {"second HELO", {helo, helo}},
      {"second MAIL", {helo, {"MAIL FROM:<a>\r\n", "250 Ok\r\n"}, {"MAIL FROM:<a>\r\n", kBadSequence}}},
      {"DATA before RCPT", {helo, {"MAIL FROM:<a>\r\n", "250 Ok\r\n"}, {"DATA\r\n", kBadSequence}}},
      {"RCPT after DATA", then(upToRcpt, {{"DATA\r\n", kInvited}, {"x\r\n.\r\n", "250 Ok\r\n"}, {"RCPT TO:<c>\r\n", kBadSequence}})},
      {"QUIT before HELO", {{"QUIT\r\n", "221 Ok\r\n"}}, ""},
      {"early QUIT", then(upToRcpt, {{"QUIT\r\n", "221 Ok\r\n"}}), ""},
      {"VRFY", {{"VRFY ann\r\n", "252 2.5.2 Cannot verify, but will accept the message\r\n"}}},
      {"AUTH after HELO", {helo, {"AUTH LOGIN\r\n", kNotImplemented}}},
      {"EXPN", {{"expn list\r\n", kNotImplemented}}},
      {"HELP", {{"HELP\r\n", "214 2.0.0 Commands: HELO EHLO MAIL RCPT DATA RSET NOOP QUIT VRFY HELP\r\n"}}},
      {"bare line end", {{"\r\n", kUnrecognized}}},
      {"MAIL without colon", {helo, {"MAIL ann\r\n", kMailSyntax}}},
      {"MAIL syntax", {helo, {"MAIL LALA: <>\r\n", kMailSyntax}, {"MAIL FROM:\r\n", kMailSyntax}, {"MAIL FROM:a@b\r\n", kMailSyntax},
                       {"MAIL FROM:<a\r\n", kMailSyntax}, {"MAIL FROM:<a b>\r\n", kMailSyntax}, {"MAIL FROM:<a@>\r\n", kMailSyntax},
                       {"MAIL FROM:<\"a\\\"b\"@c>\r\n", "250 Ok\r\n"}}},
      {"RCPT syntax", then(upToRcpt, {{"RCPT LALA: <>\r\n", kRcptSyntax}, {"RCPT TO:<>\r\n", kRcptSyntax},
                                      {"RCPT TO:<c><d>\r\n", kRcptSyntax}, {"RCPT TO:<" + path256 + "b>\r\n", kRcptSyntax},
                                      {"RCPT TO:<" + path256 + ">\r\n", "250 Ok\r\n"}})},
      {"parameters not offered", {helo, {"MAIL FROM:<a> RET=FULL\r\n", "555 5.5.4 Parameter not recognized\r\n"},
                                  {"MAIL FROM:<a> BODY=BINARYMIME\r\n", "501 5.5.4 Invalid parameter value\r\n"},
                                  {"MAIL FROM:<a> SIZE=1e3\r\n", "501 5.5.4 Invalid parameter value\r\n"},
                                  {"MAIL FROM:<a> =x\r\n", kMailSyntax}, {"MAIL FROM:<a> body=8bitmime SIZE=52428800\r\n", "250 Ok\r\n"},
                                  {"RCPT TO:<b> NOTIFY=NEVER\r\n", "555 5.5.4 Parameter not recognized\r\n"},
                                  {"RCPT TO:<@r.example,@s.example:b@c.example>\r\n", "250 Ok\r\n"}},
       nullptr, "HELO a\r\nMAIL FROM:<a>\r\nRCPT TO:<b@c.example>\r\n"},
      {"null sender", {helo, {"MAIL FROM:<>\r\n", "250 Ok\r\n"}}, nullptr, "HELO a\r\nMAIL FROM:<>\r\n"},
      {"null sender after a blank", {helo, {"MAIL FROM: <>\r\n", "250 Ok\r\n"}}, nullptr, "HELO a\r\nMAIL FROM:<>\r\n"},
      {"null sender in lower case", {helo, {"mail from:\t<> \n", "250 Ok\r\n"}}, nullptr, "HELO a\r\nMAIL FROM:<>\r\n"},
      {"domains by the grammar",
       then(upToRcpt, {{"RCPT TO:<a@xn--->\r\n", kRcptSyntax}, {"RCPT TO:<a@-x.example>\r\n", kRcptSyntax},
                       {"RCPT TO:<a@x-.example>\r\n", kRcptSyntax}, {"RCPT TO:<a@x_y.example>\r\n", kRcptSyntax},
                       {"RCPT TO:<a@x..example>\r\n", kRcptSyntax}, {"RCPT TO:<a@x.example.>\r\n", kRcptSyntax},
                       {"RCPT TO:<a@[300.1.1.1]>\r\n", kRcptSyntax}, {"RCPT TO:<a@[IPv6:::1]>\r\n", "250 Ok\r\n"},
                       {"RCPT TO:<a@[192.0.2.1]>\r\n", "250 Ok\r\n"}, {"RCPT TO:<a@x-y.3com.EXAMPLE>\r\n", "250 Ok\r\n"}})},
      {"8-bit addresses without SMTPUTF8",
       {helo, {"MAIL FROM:<j\xc3\xb6rg@x.example>\r\n", nonAscii}, {"MAIL FROM:<a@b.example>\r\n", "250 Ok\r\n"},
        {"RCPT TO:<j\xc3\xb6rg@x.example>\r\n", nonAscii}, {"RCPT TO:<a@b\xc3\xa4.example>\r\n", nonAscii}}},
      {"fifty hops and more in the body", then(upToRcpt, {{"DATA\r\n", kInvited}, {hops(50) + "\r\n" + hops(10) + ".\r\n", "250 Ok\r\n"}})},
      {"too many hops", then(upToRcpt, {{"DATA\r\n", kInvited}, {hops(51) + "\r\nx\r\n.\r\n", "554 5.4.6 Too many hops\r\n"}}),
       nullptr, "HELO a\r\n"},
      {"DATA with an argument", then(upToRcpt, {{"DATA x\r\n", "501 5.5.4 Syntax: DATA\r\n"}})},
      {"ten errors", then({helo}, tenErrors), "421 4.7.0 Too many errors\r\n"},
  };
  for (const DialogueCase& c : cases) {
    SCOPED_TRACE(c.name);
    SmtpTestClient client = Connect();
    Converse(client, c.exchanges);
    if (!c.stored.empty()) {
      auto names = relay().incoming.Names();
      ASSERT_EQ(names.size(), 1u);
      EXPECT_EQ(appDir().Read(names[0]), c.stored);
    }
    if (c.closes != nullptr) {
      std::string rest;
      EXPECT_TRUE(client.WaitClosed(20000, &rest));
      EXPECT_EQ(rest, c.closes) << "nothing more after the reply";
    } else {
      Converse(client, {{"NOOP\r\n", kNoop}});  // the session goes on
      client.Close();
    }
    ASSERT_TRUE(NoSessions());
  }
  // The messages that were completed ("RCPT after DATA", fifty hops) stay; every other file went.
  EXPECT_EQ(relay().counters.receivedOk, 2u);
  EXPECT_TRUE(appDir().Exists(kFirstSpool));
  EXPECT_TRUE(appDir().Exists(SpoolName(1)));
  EXPECT_FALSE(appDir().Exists(SpoolName(2)));
}

// Logins on the listener as clients send them; this client is on loopback, where a login
// may go in the clear. Each case is a connection of its own.
TEST_F(ServerSessionTest, LoginExchangesAndWhatTheyLeaveBehind) {
  ASSERT_TRUE(SetUserPassword(appDir().File(kUsersFileName), "ann", "s3cret pass"));
  relay().timings.login.failureDelay = std::chrono::milliseconds(1);
  const Exchange ehlo = {"EHLO a\r\n", "250-vesk\r\n250-PIPELINING\r\n250-SIZE 52428800\r\n250-8BITMIME\r\n250 AUTH PLAIN LOGIN\r\n"};
  const std::string plain = Base64Encode("\0ann\0s3cret pass"s);
  const std::string ok = "235 2.7.0 Authentication successful\r\n", invalid = "535 5.7.8 Authentication credentials invalid\r\n";
  const std::string userPrompt = "334 VXNlcm5hbWU6\r\n", passwordPrompt = "334 UGFzc3dvcmQ6\r\n";
  const std::vector<DialogueCase> cases = {
      {"PLAIN with initial response", {ehlo, {"AUTH PLAIN " + plain + "\r\n", ok}, {"AUTH PLAIN " + plain + "\r\n", "503 5.5.1 Already authenticated\r\n"}}},
      {"PLAIN after a prompt", {ehlo, {"auth plain\r\n", "334 \r\n"}, {plain + "\r\n", ok}}},
      {"PLAIN for the same identity", {ehlo, {"AUTH PLAIN " + Base64Encode("ann\0ann\0s3cret pass"s) + "\r\n", ok}}},
      {"PLAIN acting for another", {ehlo, {"AUTH PLAIN " + Base64Encode("bob\0ann\0s3cret pass"s) + "\r\n", invalid}}},
      {"LOGIN", {ehlo, {"AUTH LOGIN\r\n", userPrompt}, {"YW5u\r\n", passwordPrompt}, {Base64Encode("s3cret pass") + "\r\n", ok}}},
      {"LOGIN with the user name", {ehlo, {"AUTH LOGIN YW5u\r\n", passwordPrompt}, {Base64Encode("s3cret pass") + "\r\n", ok}}},
      {"cancelled", {ehlo, {"AUTH LOGIN\r\n", userPrompt}, {"*\r\n", "501 5.0.0 Authentication cancelled\r\n"}}},
      {"bad base64", {ehlo, {"AUTH PLAIN !!!\r\n", "501 5.5.2 Cannot decode response\r\n"}}},
      {"wrong password", {ehlo, {"AUTH PLAIN " + Base64Encode("\0ann\0guess"s) + "\r\n", invalid}}},
      {"unknown user", {ehlo, {"AUTH PLAIN " + Base64Encode("\0eve\0s3cret pass"s) + "\r\n", invalid}}},
      {"unknown mechanism", {ehlo, {"AUTH CRAM-MD5\r\n", "504 5.5.4 Unrecognized authentication type\r\n"}}},
      {"in a transaction", {ehlo, {"MAIL FROM:<a>\r\n", "250 Ok\r\n"}, {"AUTH PLAIN " + plain + "\r\n", kBadSequence}}},
      {"three failures", {ehlo, {"AUTH LOGIN YW5u\r\n", passwordPrompt}, {"eA==\r\n", invalid}, {"AUTH LOGIN YW5u\r\n", passwordPrompt},
                          {"eA==\r\n", invalid}, {"AUTH LOGIN YW5u\r\n", passwordPrompt}, {"eA==\r\n", ""}},
       "535 5.7.8 Authentication credentials invalid\r\n421 4.7.0 Too many failed logins, try again later\r\n"},
      {"a message after a login",
       {ehlo, {"AUTH PLAIN " + plain + "\r\n", ok}, {"EHLO b\r\n", "250-vesk\r\n250-PIPELINING\r\n250-SIZE 52428800\r\n250 8BITMIME\r\n"},
        {"MAIL FROM:<a>\r\n", "250 Ok\r\n"}, {"RCPT TO:<b>\r\n", "250 Ok\r\n"}, {"DATA\r\n", kInvited}, {"x\r\n.\r\n", "250 Ok\r\n"}}},
  };
  for (const DialogueCase& c : cases) {
    SCOPED_TRACE(c.name);
    SmtpTestClient client = Connect();
    Converse(client, c.exchanges);
    if (c.closes != nullptr) {
      std::string rest;
      EXPECT_TRUE(client.WaitClosed(20000, &rest));
      EXPECT_EQ(rest, c.closes);
    }
    client.Close();
    ASSERT_TRUE(NoSessions());
  }
  // The exchange is never stored, and the trace header names the user; the log names who
  // failed, never a password.
  std::string stored = appDir().Read(kFirstSpool);
  EXPECT_EQ(stored.substr(0, stored.find("Received:")), "HELO b\r\nMAIL FROM:<a>\r\nRCPT TO:<b>\r\nDATA\r\n");
  EXPECT_NE(stored.find(" with ESMTPA (Vellomar, user ann); "), std::string::npos) << stored;
  EXPECT_NE(LogContent().find("Authentication failed for eve from 127.0.0.1"), std::string::npos);
  for (const std::string& secret : {"s3cret"s, "guess"s, plain.substr(4)}) {
    EXPECT_EQ(LogContent().find(secret), std::string::npos) << secret;
    EXPECT_EQ(stored.find(secret), std::string::npos) << secret;
  }
}

// The EHLO offers a login exactly while the users file names someone: a user added, the file
// edited in place (same inode) or emptied while the relay runs shows at the next EHLO, though
// the file is read again only when it changed.
TEST_F(ServerSessionTest, TheLoginOfferFollowsTheUsersFileAsItChanges) {
  const std::string users = appDir().File(kUsersFileName);
  const std::string withAuth = "250-vesk\r\n250-PIPELINING\r\n250-SIZE 52428800\r\n250-8BITMIME\r\n250 AUTH PLAIN LOGIN\r\n";
  const std::string without = "250-vesk\r\n250-PIPELINING\r\n250-SIZE 52428800\r\n250 8BITMIME\r\n";
  const auto expectEhlo = [&](const std::string& reply, const char* when) {
    SCOPED_TRACE(when);
    for (int twice = 0; twice < 2; ++twice) {
      SmtpTestClient client = Connect();
      Converse(client, {{"EHLO a\r\n", reply}});
      client.Close();
      ASSERT_TRUE(NoSessions());
    }
  };
  expectEhlo(without, "no users file");
  ASSERT_TRUE(SetUserPassword(users, "ann", "s3cret pass"));
  expectEhlo(withAuth, "a user added");
  ASSERT_TRUE(RemoveUser(users, "ann"));
  expectEhlo(without, "the user removed");
  ASSERT_TRUE(SetUserPassword(users, "ann", "s3cret pass"));
  expectEhlo(withAuth, "added again");
  {
    // An editor that writes the file over in place keeps its inode and birth time.
    std::string text = ReadWholeFile(users).value();
    FILE* file = std::fopen(users.c_str(), "r+");
    ASSERT_NE(file, nullptr);
    ASSERT_GE(std::fputs(std::string(text.size(), '#').c_str(), file), 0);
    ASSERT_EQ(std::fclose(file), 0);
  }
  expectEhlo(without, "edited in place to no user");
  ASSERT_EQ(::unlink(users.c_str()), 0);
  expectEhlo(without, "the file removed");
}

// Forty connections from one address guessing at once: its limit holds however many of them
// check together, so that at most ten passwords are ever checked, and once they failed the
// right one gets nowhere either.
TEST_F(ServerSessionTest, ParallelGuessesFromOneAddressGetAtMostTenChecks) {
  ASSERT_TRUE(SetUserPassword(appDir().File(kUsersFileName), "ann", "s3cret pass"));
  relay().timings.login.failureDelay = std::chrono::milliseconds(200);
  Configure([](Settings& s) { s.Input = 50; });
  const std::string ehloReply = "250-vesk\r\n250-PIPELINING\r\n250-SIZE 52428800\r\n250-8BITMIME\r\n250 AUTH PLAIN LOGIN\r\n";
  std::vector<SmtpTestClient> clients;
  for (int i = 0; i < 41; ++i) {
    clients.push_back(Connect());
    Converse(clients.back(), {{"EHLO a\r\n", ehloReply}});
  }
  for (int i = 0; i < 40; ++i) clients[i].Send("AUTH PLAIN " + Base64Encode("\0ann\0guess "s + std::to_string(i)) + "\r\n");
  std::map<std::string, int> replies;
  for (int i = 0; i < 40; ++i) ++replies[clients[i].ReadFullReply()];
  const std::string invalid = "535 5.7.8 Authentication credentials invalid\r\n";
  EXPECT_EQ(replies[invalid], 10) << "no more checks than the limit, and the limit's worth";
  EXPECT_EQ(replies[invalid] + replies["454 4.7.0 Temporary authentication failure, try again later\r\n"] +
                replies["421 4.7.0 Too many failed logins, try again later\r\n"],
            40);
  size_t logged = 0;
  for (size_t at = 0; (at = LogContent().find("Authentication failed for ann", at)) != std::string::npos; ++at) ++logged;
  EXPECT_EQ(logged, 10u);
  clients[40].Send("AUTH PLAIN " + Base64Encode("\0ann\0s3cret pass"s) + "\r\n");
  EXPECT_EQ(clients[40].ReadFullReply(), "421 4.7.0 Too many failed logins, try again later\r\n");
}

// Password checks are few at once, whichever addresses ask: with every place taken, a login
// waits its time and is told to come back, counted as no failure; once a place is free the
// same login gets in.
TEST_F(ServerSessionTest, PasswordChecksWaitForAPlace) {
  ASSERT_TRUE(SetUserPassword(appDir().File(kUsersFileName), "ann", "s3cret pass"));
  relay().timings.login.checkWait = std::chrono::milliseconds(300);
  int places = 0;
  while (relay().passwordChecks.TakeWithin(std::chrono::milliseconds(0))) ++places;
  ASSERT_GE(places, 2);
  SmtpTestClient client = Connect();
  Converse(client, {{"EHLO a\r\n", ""}});
  (void)client.ReadFullReply();
  const std::string login = "AUTH PLAIN " + Base64Encode("\0ann\0s3cret pass"s) + "\r\n";
  Converse(client, {{login, "454 4.7.0 Temporary authentication failure, try again later\r\n"}});
  EXPECT_EQ(LogContent().find("Authentication failed"), std::string::npos) << "not a failure";
  relay().passwordChecks.Give();
  Converse(client, {{login, "235 2.7.0 Authentication successful\r\n"}});
  for (int i = 1; i < places; ++i) relay().passwordChecks.Give();
}

// SIZE: the limit as declared at MAIL and as sent, counted as the client counts it.
TEST_F(ServerSessionTest, TheSizeLimitAsDeclaredAndAsSent) {
  const std::string ninety(90, 'x');
  const std::string tooLarge = "552 5.3.4 Message size exceeds fixed limit\r\n";
  struct SizeCase {
    const char* name;
    int32_t maxSize;
    std::vector<Exchange> exchanges;
    bool throughGraph = false;  // the sender's account sends through Microsoft Graph
  };
  auto message = [](const std::string& data, const std::string& reply) {
    return std::vector<Exchange>{{"MAIL FROM:<a>\r\n", "250 Ok\r\n"}, {"RCPT TO:<b>\r\n", "250 Ok\r\n"}, {"DATA\r\n", kInvited}, {data, reply}};
  };
  // 100 bytes as SIZE counts them: the dot that stuffs a line is not the message's.
  const std::string exactly = "..." + std::string(96, 'y') + "\r\n.\r\n";
  const std::vector<SizeCase> cases = {
      {"declared over", 100, {{"MAIL FROM:<a> SIZE=101\r\n", tooLarge}, {"MAIL FROM:<a> SIZE=100\r\n", "250 Ok\r\n"}}},
      {"sent exactly at the limit", 100, message(exactly, "250 Ok\r\n")},
      {"sent over, then the next", 100, [&] {
         auto first = message("z" + exactly, tooLarge);
         auto next = message(ninety + "\r\n.\r\n", "250 Ok\r\n");
         first.insert(first.end(), next.begin(), next.end());
         return first;
       }()},
      {"no limit", 0, {{"EHLO a\r\n", "250-vesk\r\n250-PIPELINING\r\n250-SIZE 0\r\n250 8BITMIME\r\n"},
                       {"MAIL FROM:<a> SIZE=999999999999\r\n", "250 Ok\r\n"}}},
      // Graph takes 4 MB of request, the message in base64 with room for a Bcc: line: refused
      // once the sender's account is known, declared or sent, under any larger MaxSize.
      {"through Graph", 10000000, [&] {
         const std::string graphTooLarge = "552 5.3.4 Message too large for Microsoft Graph, which takes at most 3080192 bytes\r\n";
         std::string lines;
         for (int i = 0; i < 3081; ++i) lines += std::string(998, 'g') + "\r\n";
         auto sent = message(lines + ".\r\n", graphTooLarge);
         sent.insert(sent.begin(), {{"MAIL FROM:<a> SIZE=3080193\r\n", graphTooLarge}});
         return sent;
       }(), true},
  };
  uint32_t committed = 0;
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    Configure([&](Settings& s) {
      s.MaxSize = c.maxSize;
      s.Transport = c.throughGraph ? "graph" : "smtp";
    });
    SmtpTestClient client = Connect();
    Converse(client, {{"HELO a\r\n", "250 Ok\r\n"}});
    Converse(client, c.exchanges);
    Converse(client, {{"QUIT\r\n", "221 Ok\r\n"}});
    for (const Exchange& e : c.exchanges) committed += e.send.ends_with("\r\n.\r\n") && e.reply == "250 Ok\r\n";
    ASSERT_TRUE(NoSessions());
  }
  // Only the messages answered 250 were kept; the one over the limit left nothing: the
  // connection's next message is the file's only one.
  EXPECT_EQ(relay().counters.receivedOk, committed);
  std::string second = appDir().Read(SpoolName(1));
  EXPECT_EQ(second.find('z'), std::string::npos);
  EXPECT_NE(second.find(ninety), std::string::npos);
}

TEST_F(ServerSessionTest, EhloIsStoredAsTheHeloLineItStandsFor) {
  SmtpTestClient client = Connect();
  Converse(client, {{"EHLO pc1.example\r\n", kEhloReply}});
  SendMessage(client, "ann", {"bob"}, "Subject: x\r\n\r\nhi\r\n.\r\n");
  EXPECT_EQ(appDir().Read(kFirstSpool), Stored("pc1.example", "ann", {"bob"}, "Subject: x\r\n\r\nhi\r\n.\r\n"));
  // A greeting line ended by a line feed alone gives the same domain.
  SmtpTestClient second = Connect();
  Converse(second, {{"helo pc2\n", "250 Ok\r\n"}});
  SendMessage(second, "ann", {"bob"}, "hi\r\n.\r\n");
  EXPECT_EQ(appDir().Read("853_0.tml"), Stored("pc2", "ann", {"bob"}, "hi\r\n.\r\n"));
}

TEST_F(ServerSessionTest, PipelinedCommandsAreHandledOneLineAtATime) {
  // The same message sent one command at a time, and as one piece.
  SmtpTestClient stepwise = Connect();
  Converse(stepwise, {{"EHLO pc\r\n", kEhloReply}});
  SendMessage(stepwise, "ann@x.test", {"bob@y.test", "carl@y.test"}, "Subject: p\r\n\r\nhi\r\n.\r\n");
  SmtpTestClient pipelined = Connect();
  Converse(pipelined, {{"EHLO pc\r\n", kEhloReply}});
  pipelined.Send("MAIL FROM:<ann@x.test>\r\nRCPT TO:<bob@y.test>\r\nRCPT TO:<carl@y.test>\r\nDATA\r\n");
  for (const std::string& reply : {"250 Ok\r\n"s, "250 Ok\r\n"s, "250 Ok\r\n"s, kInvited}) {
    EXPECT_EQ(pipelined.ReadReply(), reply);
  }
  // The data, its end and the next command in one piece as well.
  pipelined.Send("Subject: p\r\n\r\nhi\r\n.\r\nQUIT\r\n");
  EXPECT_EQ(pipelined.ReadReply(), "250 Ok\r\n");
  EXPECT_EQ(pipelined.ReadReply(), "221 Ok\r\n");
  EXPECT_EQ(appDir().Read("853_0.tml"), appDir().Read(kFirstSpool));

  // Lines joined by bare line feeds are as many commands: a recipient is one only when its
  // own RCPT was answered, and every stored line ends in CR LF.
  SmtpTestClient joined = Connect();
  Converse(joined, {{"HELO pc\r\n", "250 Ok\r\n"}});
  joined.Send("MAIL FROM:<a@x.test>\nRCPT TO:<hidden@evil.test>\nDATA\nSubject: h\n\nhi\n.\r\n");
  for (const std::string& reply : {"250 Ok\r\n"s, "250 Ok\r\n"s, kInvited}) EXPECT_EQ(joined.ReadReply(), reply);
  EXPECT_TRUE(joined.Silent(200)) << "the data has not ended";
  joined.Send(".\r\n");
  EXPECT_EQ(joined.ReadReply(), "250 Ok\r\n");
  EXPECT_EQ(appDir().Read("853_1.tml"), "HELO pc\r\nMAIL FROM:<a@x.test>\r\nRCPT TO:<hidden@evil.test>\r\nDATA\r\n" +
                                            TraceHeader("pc") + "Subject: h\r\n\r\nhi\r\n..\r\n.\r\nQUIT\r\n");
}

TEST_F(ServerSessionTest, SeveralMessagesOnOneConnectionEachInAFileOfItsOwn) {
  SmtpTestClient client = Connect();
  Converse(client, {{"EHLO pc\r\n", kEhloReply}});
  const std::vector<std::string> names = {SpoolName(0), SpoolName(1), SpoolName(2)};
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    const std::string from = "s" + std::to_string(i);
    Converse(client, {{"MAIL FROM:<" + from + ">\r\n", "250 Ok\r\n"}});
    EXPECT_TRUE(Held(names[i]));
    MailSummary summary = SummaryNow(client, names[i]);
    EXPECT_EQ(summary.sender, "<" + from + ">") << "the connection's entry follows the file";
    EXPECT_EQ(summary.recipientCount, 0) << "each message's summary starts afresh";
    Converse(client, {{"RCPT TO:<r>\r\n", "250 Ok\r\n"}, {"DATA\r\n", kInvited}, {"n" + from + "\r\n.\r\n", "250 Ok\r\n"}});
    EXPECT_EQ(appDir().Read(names[i]), Stored("pc", from, {"r"}, "n" + from + "\r\n.\r\n"));
    EXPECT_EQ(relay().counters.receivedOk, i + 1);
  }
  Converse(client, {{"QUIT\r\n", "221 Ok\r\n"}});
  ASSERT_TRUE(client.WaitClosed());
  ASSERT_TRUE(NoSessions());
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string from = "s" + std::to_string(i);
    EXPECT_EQ(appDir().Read(names[i]), Stored("pc", from, {"r"}, "n" + from + "\r\n.\r\n"));
  }
  EXPECT_EQ(relay().counters.receivedAll, 3u);
  relay().queue.Discard("853_1.tml", false);  // the next test starts from an empty list
}

// Sessions ending their data at the same moment share folder syncs, and each still gets its
// 250 only with its own file whole on disk.
TEST_F(ServerSessionTest, SessionsCommittingTogetherEachGetTheir250) {
  constexpr int kClients = 6;
  std::vector<SmtpTestClient> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(Connect());
    Converse(clients.back(), {{"HELO pc\r\n", "250 Ok\r\n"}, {"MAIL FROM:<s" + std::to_string(i) + ">\r\n", "250 Ok\r\n"},
                              {"RCPT TO:<r>\r\n", "250 Ok\r\n"}, {"DATA\r\n", kInvited}, {"m\r\n", ""}});
  }
  const uint64_t before = relay().spoolSync.syncsMade();
  std::vector<std::string> replies(kClients);
  std::vector<std::thread> enders;
  for (int i = 0; i < kClients; ++i) {
    enders.emplace_back([&, i] {
      clients[i].Send(".\r\n");
      replies[i] = clients[i].ReadReply();
    });
  }
  for (auto& ender : enders) ender.join();
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(replies[i], "250 Ok\r\n") << i;
    EXPECT_EQ(appDir().Read(SpoolName(i)), Stored("pc", "s" + std::to_string(i), {"r"}, "m\r\n.\r\n"));
  }
  const uint64_t syncs = relay().spoolSync.syncsMade() - before;
  EXPECT_GE(syncs, 1u);
  EXPECT_LE(syncs, static_cast<uint64_t>(kClients));
}

TEST_F(ServerSessionTest, RsetDropsTheOpenTransactionInEachState) {
  struct Case {
    const char* name;
    std::vector<Exchange> before;
    std::string stored;  // the file right after RSET
  };
  const std::vector<Case> cases = {
      {"greeted", {}, ""},
      {"after HELO", {{"HELO a\r\n", "250 Ok\r\n"}}, "HELO a\r\n"},
      {"after MAIL", {{"HELO a\r\n", "250 Ok\r\n"}, {"MAIL FROM:<x>\r\n", "250 Ok\r\n"}}, "HELO a\r\n"},
      {"after RCPT",
       {{"EHLO a\r\n", kEhloReply}, {"MAIL FROM:<x>\r\n", "250 Ok\r\n"}, {"RCPT TO:<y>\r\n", "250 Ok\r\n"}},
       "HELO a\r\n"},
  };
  int kept = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmtpTestClient client = Connect();
    const std::string name = SpoolName(kept);
    Converse(client, c.before);
    Converse(client, {{"RSET\r\n", "250 Ok\r\n"}});
    EXPECT_EQ(appDir().Read(name), c.stored);
    EXPECT_EQ(SummaryNow(client, name).recipientCount, 0);
    if (c.before.empty()) Converse(client, {{"HELO a\r\n", "250 Ok\r\n"}});
    SendMessage(client, "ann", {"bob"}, "hi\r\n.\r\n");
    EXPECT_EQ(appDir().Read(name), Stored("a", "ann", {"bob"}, "hi\r\n.\r\n"));
    // After a committed message RSET has nothing to drop, and MAIL begins the next file.
    Converse(client, {{"RSET\r\n", "250 Ok\r\n"}});
    SendMessage(client, "carl", {"dan"}, "ho\r\n.\r\n");
    EXPECT_EQ(appDir().Read(SpoolName(kept + 1)), Stored("a", "carl", {"dan"}, "ho\r\n.\r\n"));
    Converse(client, {{"QUIT\r\n", "221 Ok\r\n"}});
    ASSERT_TRUE(NoSessions());
    kept += 2;
  }
  EXPECT_EQ(relay().counters.receivedAll, 8u);
}

TEST_F(ServerSessionTest, QuitInEachStateKeepsOnlyCommittedMessages) {
  struct Case {
    const char* name;
    std::vector<Exchange> before;
    bool kept;
  };
  const std::vector<Exchange> message = {{"HELO a\r\n", "250 Ok\r\n"},
                                         {"MAIL FROM:<x>\r\n", "250 Ok\r\n"},
                                         {"RCPT TO:<y>\r\n", "250 Ok\r\n"},
                                         {"DATA\r\n", kInvited},
                                         {"hi\r\n.\r\n", "250 Ok\r\n"}};
  std::vector<Case> cases;
  const char* names[] = {"greeted", "after HELO", "after MAIL", "after RCPT", "after DATA", "after the message"};
  for (size_t steps = 0; steps <= message.size(); ++steps) {
    cases.push_back({names[steps], std::vector<Exchange>(message.begin(), message.begin() + steps), steps == message.size()});
  }
  // QUIT inside the data is message data; the cut connection drops the message.
  cases[4].before.push_back({"QUIT\r\n", ""});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t okBefore = relay().counters.receivedOk;
    SmtpTestClient client = Connect();
    Converse(client, c.before);
    if (std::string(c.name) == "after DATA") {
      client.Close();
    } else {
      Converse(client, {{"QUIT\r\n", "221 Ok\r\n"}});
      EXPECT_TRUE(client.WaitClosed());
    }
    ASSERT_TRUE(NoSessions());
    EXPECT_EQ(appDir().Exists(kFirstSpool), c.kept);
    EXPECT_EQ(relay().counters.receivedOk, okBefore + (c.kept ? 1 : 0));
  }
  EXPECT_EQ(relay().counters.receivedAll, cases.size());
}

TEST_F(ServerSessionTest, ControlCharactersInACommandLineAreRefusedAndNothingIsStored) {
  SmtpTestClient client = Connect();
  const std::vector<std::string> refused = {"HELO a\rReceived: forged\r\n", "HELO a\0b\r\n"s, "HELO a\x1b[31m\r\n",
                                            "HELO a\r\r\n", "HELO \x7f\x01\r\n"};
  for (const std::string& line : refused) {
    SCOPED_TRACE(line);
    Converse(client, {{line, "501 5.5.2 Syntax error\r\n"}});
  }
  Converse(client, {{"HELO a\tb\r\n", "250 Ok\r\n"}, {"MAIL FROM:<x>\r\n", "250 Ok\r\n"}});
  for (const std::string& line : {"RCPT TO:<y>\rz\r\n"s, "RCPT TO:<y\0>\r\n"s, "RCPT TO:<y\x7>\r\n"s}) {
    SCOPED_TRACE(line);
    Converse(client, {{line, "501 5.5.2 Syntax error\r\n"}});
  }
  Converse(client, {{"RCPT TO:<y>\r\n", "250 Ok\r\n"}});
  EXPECT_EQ(appDir().Read(kFirstSpool), "HELO a\r\nMAIL FROM:<x>\r\nRCPT TO:<y>\r\n");
  EXPECT_EQ(SummaryNow(client, kFirstSpool).recipientCount, 1);
}

TEST_F(ServerSessionTest, CommandLinesAreBounded) {
  SmtpTestClient client = Connect();
  const std::string kTooLong = "500 5.5.6 Line too long\r\n";
  Converse(client, {{"HELO pc\r\n", "250 Ok\r\n"},
                    {"NOOP " + std::string(1000 - 7, 'a') + "\r\n", kNoop},
                    {"RCPT TO:<" + std::string(1001 - 12, 'b') + ">\r\n", kTooLong},
                    {"MAIL FROM:<" + std::string(2000000, 'c') + ">\r\n", kTooLong},
                    {"MAIL FROM:<x>\r\n", "250 Ok\r\n"}});
  EXPECT_EQ(appDir().Read(kFirstSpool), "HELO pc\r\nMAIL FROM:<x>\r\n");
}

TEST_F(ServerSessionTest, SilenceIsWaitedForByTheLoadOfTheListener) {
  Configure([&](Settings& s) { s.Input = 4; });
  relay().timings.session.commandWait = std::chrono::milliseconds(8000);
  relay().timings.session.dataWait = std::chrono::milliseconds(300);
  relay().timings.session.busyWait = std::chrono::milliseconds(1500);
  SmtpTestClient idle = Connect();
  Converse(idle, {{"HELO a\r\n", "250 Ok\r\n"}});
  SmtpTestClient data = Connect();
  Converse(data, {{"HELO a\r\n", "250 Ok\r\n"}, {"MAIL FROM:<x>\r\n", "250 Ok\r\n"}, {"RCPT TO:<y>\r\n", "250 Ok\r\n"},
                  {"DATA\r\n", kInvited}});
  std::string rest;
  EXPECT_TRUE(data.WaitClosed(20000, &rest));
  EXPECT_EQ(rest, kTimedOut) << "two sessions of four: the data wait holds";
  EXPECT_TRUE(idle.Silent(1500)) << "and the command wait is longer";
  // Three sessions of four: the short wait holds for all, and this one has waited longer.
  SmtpTestClient second = Connect();
  SmtpTestClient third = Connect();
  EXPECT_TRUE(idle.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, kTimedOut);
  second.Close();
  third.Close();
  ASSERT_TRUE(NoSessions());
  EXPECT_EQ(relay().counters.receivedOk, 0u);
  EXPECT_FALSE(appDir().Exists(kFirstSpool) || Held(kFirstSpool));
}

// A client that sends a byte now and then, each well within the read wait.
void Drip(SmtpTestClient& client, char byte, std::chrono::milliseconds every, int times) {
  for (int i = 0; i < times && client.Silent(static_cast<int>(every.count())); ++i) client.Send(std::string(1, byte));
}

TEST_F(ServerSessionTest, ADrippingClientIsCutOffInCommandsAndInData) {
  SessionLimits limits;
  limits.busyWait = std::chrono::milliseconds(500);
  limits.sendWait = std::chrono::milliseconds(500);
  limits.commandTime = std::chrono::milliseconds(1000);
  limits.dataGrace = std::chrono::milliseconds(1000);
  limits.dataRate = 1000;
  relay().timings.session = limits;
  auto started = std::chrono::steady_clock::now();
  SmtpTestClient commands = Connect();
  Drip(commands, 'H', std::chrono::milliseconds(100), 200);
  EXPECT_TRUE(commands.WaitClosed(20000));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

  SmtpTestClient data = Connect();
  Converse(data, {{"HELO a\r\n", "250 Ok\r\n"}, {"MAIL FROM:<x>\r\n", "250 Ok\r\n"}, {"RCPT TO:<y>\r\n", "250 Ok\r\n"},
                  {"DATA\r\n", kInvited}});
  started = std::chrono::steady_clock::now();
  Drip(data, 'x', std::chrono::milliseconds(100), 200);
  std::string rest;
  EXPECT_TRUE(data.WaitClosed(20000, &rest));
  EXPECT_EQ(rest, kTimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  ASSERT_TRUE(SessionsEnded(2));
  EXPECT_FALSE(appDir().Exists(kFirstSpool) || appDir().Exists("853_0.tml"));

  // Data that keeps up with the rate is served however long it takes.
  SmtpTestClient steady = Connect();
  Converse(steady, {{"HELO a\r\n", "250 Ok\r\n"}, {"MAIL FROM:<x>\r\n", "250 Ok\r\n"}, {"RCPT TO:<y>\r\n", "250 Ok\r\n"},
                    {"DATA\r\n", kInvited}});
  const std::string line(298, 'y');
  for (int i = 0; i < 10 && steady.Silent(200); ++i) steady.Send(line + "\r\n");
  Converse(steady, {{".\r\n", "250 Ok\r\n"}});
  steady.Close();
  ASSERT_TRUE(NoSessions());

  // A client that pipelines commands and never reads the replies: once one has waited for
  // the send limit the session ends, and with room for one session the next one is greeted.
  Configure([&](Settings& s) { s.Input = 1; });
  // Small buffers fill after a few hundred replies rather than a million.
  relay().sessionStartObserver.Set([](const std::string&, const std::string&, int socket) {
    int size = 4096;
    EXPECT_EQ(::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
  });
  SmtpTestClient reader = Connect();
  relay().sessionStartObserver.Set(nullptr);
  EXPECT_GT(reader.Flood("NOOP\r\n", 1000), 0u);
  SmtpTestClient next = Connect();
  EXPECT_TRUE(reader.WaitClosed());
}

TEST_F(ServerSessionTest, AnAcknowledgedMessageOutlivesWhateverTheClientDoesNext) {
  relay().timings.session.commandWait = std::chrono::milliseconds(300);
  struct Case {
    const char* name;
    std::function<void(SmtpTestClient&)> after;
  };
  const std::vector<Case> cases = {
      {"closes", [](SmtpTestClient& client) { client.Close(); }},
      {"falls silent", [](SmtpTestClient& client) { EXPECT_TRUE(client.WaitClosed()); }},
      {"sends nonsense", [](SmtpTestClient& client) {
         client.Send("BDAT 10\r\n");
         EXPECT_EQ(client.ReadReply(), kUnrecognized);
       }},
      {"starts a message and leaves", [this](SmtpTestClient& client) {
         Converse(client, {{"MAIL FROM:<z>\r\n", "250 Ok\r\n"}});
         client.Close();
       }},
  };
  uint32_t ended = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmtpTestClient client = Connect();
    Converse(client, {{"HELO a\r\n", "250 Ok\r\n"}});
    SendMessage(client, "x", {"y"}, "kept\r\n.\r\n");
    c.after(client);
    ASSERT_TRUE(NoSessions());
    EXPECT_EQ(appDir().Read(SpoolName(ended)), Stored("a", "x", {"y"}, "kept\r\n.\r\n"));
    EXPECT_FALSE(appDir().Exists(SpoolName(ended + 1))) << "the unfinished second message went";
    ++ended;
  }
  EXPECT_EQ(relay().counters.receivedOk, ended);
  EXPECT_EQ(relay().counters.receivedAll, ended + 1) << "only the dropped second message counts as failed";
}

TEST_F(ServerSessionTest, ShutdownKeepsAnAcknowledgedMessageAndDropsAPartialOne) {
  SmtpTestClient done = Connect();
  Converse(done, {{"HELO a\r\n", "250 Ok\r\n"}});
  SendMessage(done, "x", {"y"}, "kept\r\n.\r\n");
  SmtpTestClient partial = Connect();
  Converse(partial, {{"HELO b\r\n", "250 Ok\r\n"}, {"MAIL FROM:<x>\r\n", "250 Ok\r\n"}});
  ASSERT_TRUE(appDir().Exists("853_0.tml"));
  // A directory in place of the third one's file stands for a file that cannot be deleted:
  // its name must stay reserved, or the half-received message would wait for delivery.
  SmtpTestClient stuck = Connect();
  Converse(stuck, {{"HELO c\r\n", "250 Ok\r\n"}, {"MAIL FROM:<x>\r\n", "250 Ok\r\n"}});
  ASSERT_TRUE(RemoveFile(appDir().File("853_1.tml")));
  ASSERT_TRUE(MakeDirectories(appDir().File("853_1.tml")));
  stop.Set();
  relay().incoming.TerminateAll();
  EXPECT_TRUE(done.WaitClosed());
  EXPECT_TRUE(partial.WaitClosed());
  EXPECT_EQ(appDir().Read(kFirstSpool), Stored("a", "x", {"y"}, "kept\r\n.\r\n"));
  EXPECT_TRUE(stuck.WaitClosed());
  EXPECT_FALSE(appDir().Exists("853_0.tml"));
  EXPECT_FALSE(Held("853_0.tml"));
  EXPECT_TRUE(Held("853_1.tml"));
  EXPECT_NE(LogContent().find("Error : can't remove incomplete spool file 853_1.tml: Is a directory\r\n"),
            std::string::npos)
      << LogContent();
  EXPECT_EQ(relay().counters.receivedAll, 3u);
  EXPECT_EQ(relay().counters.receivedOk, 1u);
}

TEST_F(ServerSessionTest, AFileThatCannotBeCreatedIsAnswered421AndLeftAlone) {
  // Something else creates the file after its name was checked free: the session shows the
  // system's text, answers 421 and leaves that file alone.
  relay().sessionStartObserver.Set(
      [this](const std::string&, const std::string& name, int) { appDir().Write(name, "not ours"); });
  SmtpTestClient client(StartListener());
  std::string received;
  EXPECT_TRUE(client.WaitClosed(20000, &received));
  EXPECT_EQ(received, "421 4.3.0 Cannot store mail now\r\n");
  ASSERT_TRUE(NoSessions());
  EXPECT_EQ(controls.SystemErrors(), std::vector<std::string>{"File exists"});
  EXPECT_EQ(appDir().Read(kFirstSpool), "not ours");
  EXPECT_FALSE(Held(kFirstSpool));
  EXPECT_EQ(relay().counters.receivedAll, 1u);
  EXPECT_NE(LogContent().find("Error : can't create spool file 853.tml: File exists\r\n"), std::string::npos);
}

TEST_F(ServerSessionTest, TheWriterStoresNothingThatWouldNotStayOneLine) {
  // Without a session, as a local hand-over uses it: a field that would forge a line of its
  // own, or an address that would not read back, is refused and nothing is written.
  MessageWriter writer(relay());
  ASSERT_TRUE(writer.Create() && writer.Greeting("pc"));
  const std::vector<std::function<Status()>> forged = {
      [&] { return writer.Greeting("pc\r\nMAIL FROM:<x>"); }, [&] { return writer.Sender("a>\r\nRCPT TO:<b"); },
      [&] { return writer.Recipient("<b>"); }, [&] { return writer.Recipient("b\0c"s); }};
  for (const auto& step : forged) EXPECT_EQ(step().error(), EINVAL);
  ASSERT_TRUE(writer.Sender("") && writer.Recipient("b@c"));
  EXPECT_EQ(appDir().Read(writer.name()), "HELO pc\r\nMAIL FROM:<>\r\nRCPT TO:<b@c>\r\n");
}

TEST_F(ServerSessionTest, AFullDiskIsAnswered452AndThePartialFileDeleted) {
  // A file size limit stands in for a full disk: writes past it fail with EFBIG.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit saved = limit;
  limit.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  SmtpTestClient client = Connect();
  Converse(client, {{"HELO a\r\n", "250 Ok\r\n"}, {"MAIL FROM:<x>\r\n", "250 Ok\r\n"}, {"RCPT TO:<y>\r\n", "250 Ok\r\n"},
                    {"DATA\r\n", kInvited}});
  client.Send(std::string(8000, 'z') + "\r\n.\r\n");
  EXPECT_EQ(client.ReadReply(), "452 4.3.1 Insufficient system storage\r\n");
  EXPECT_TRUE(client.WaitClosed());
  ASSERT_TRUE(SessionsEnded(1));
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_FALSE(appDir().Exists(kFirstSpool));
  EXPECT_FALSE(Held(kFirstSpool));
  EXPECT_EQ(relay().counters.receivedOk, 0u);
  EXPECT_NE(LogContent().find("Error : can't write spool file 853.tml: File too large\r\n"), std::string::npos);
}

}  // namespace
}  // namespace vellomar
