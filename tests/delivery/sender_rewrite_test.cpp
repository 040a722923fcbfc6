#include "delivery/sender_rewrite.h"

#include <gtest/gtest.h>

#include <string>

namespace vellomar {
namespace {

const std::string kMe = "me@account.example";

TEST(SenderRewriteTest, MailLineGetsTheAccountsPathAndKeepsTheRest) {
  const std::pair<std::string, std::string> cases[] = {
      {"MAIL FROM:<old@example.org> SIZE=5\r\n", "MAIL FROM:<me@account.example> SIZE=5\r\n"},
      {"mail from: <old@example.org>\r\n", "mail from: <me@account.example>\r\n"},
      {"MAIL FROM:old@example.org BODY=8BITMIME\r\n", "MAIL FROM:<me@account.example> BODY=8BITMIME\r\n"},
      {"MAIL FROM:<\"a> b\"@example.org> SMTPUTF8\r\n", "MAIL FROM:<me@account.example> SMTPUTF8\r\n"},
      {"MAIL FROM:<@relay.example:old@example.org>\r\n", "MAIL FROM:<me@account.example>\r\n"},
      // Failure notices keep the null sender; what holds no path is left alone.
      {"MAIL FROM:<>\r\n", "MAIL FROM:<>\r\n"},
      {"MAIL FROM: <> SIZE=9\r\n", "MAIL FROM: <> SIZE=9\r\n"},
      {"MAIL FROM:\r\n", "MAIL FROM:\r\n"},
      {"MAIL FROM:<old@example.org\r\n", "MAIL FROM:<old@example.org\r\n"},
  };
  for (const auto& [line, want] : cases) EXPECT_EQ(RewriteMailLine(line, kMe), want) << line;
}

TEST(SenderRewriteTest, FromBecomesTheAccountsWithTheWriterInReplyTo) {
  const std::string trace = "Received: from pc.example\r\n\tby relay.example with Vellomar; Mon, 1 Jan 2024\r\n";
  const std::string rest = "Subject: hi\r\n\r\n";
  const std::string longName = "\"" + std::string(66, 'n') + "\"";
  const std::pair<std::string, std::string> cases[] = {
      {"From: <jane@example.org>\r\n", "From: <me@account.example>\r\nReply-To: <jane@example.org>\r\n"},
      {"From: Jane Doe <jane@example.org>\r\n",
       "From: Jane Doe <me@account.example>\r\nReply-To: Jane Doe <jane@example.org>\r\n"},
      {"FROM: \"Doe,  Jane <CEO>\" <jane@example.org>\r\n",
       "From: \"Doe,  Jane <CEO>\" <me@account.example>\r\nReply-To: \"Doe,  Jane <CEO>\" <jane@example.org>\r\n"},
      {"From: =?UTF-8?B?SsOpcsO0bWU=?= <j@example.org>\r\n",
       "From: =?UTF-8?B?SsOpcsO0bWU=?= <me@account.example>\r\nReply-To: =?UTF-8?B?SsOpcsO0bWU=?= <j@example.org>\r\n"},
      {"From: \"Jane Doe\"\r\n  <jane@example.org>\r\n",
       "From: \"Jane Doe\" <me@account.example>\r\nReply-To: \"Jane Doe\"\r\n  <jane@example.org>\r\n"},
      {"from: jane@example.org (Jane Doe)\r\n",
       "From: Jane Doe <me@account.example>\r\nReply-To: jane@example.org (Jane Doe)\r\n"},
      {"From:jane@example.org\r\n", "From: <me@account.example>\r\nReply-To:jane@example.org\r\n"},
      {"From: j@example.org (Jane), Bob <b@example.net>\r\n",
       "From: Jane <me@account.example>\r\nReply-To: j@example.org (Jane), Bob <b@example.net>\r\n"},
      {"From: (the boss) <boss@example.org>\r\n",
       "From: (the boss) <me@account.example>\r\nReply-To: (the boss) <boss@example.org>\r\n"},
      {"From: " + longName + " <j@example.org>\r\n",
       "From: " + longName + "\r\n <me@account.example>\r\nReply-To: " + longName + " <j@example.org>\r\n"},
      // A bare local name is nowhere a reply could go.
      {"From: root\r\n", "From: <me@account.example>\r\n"},
      // An existing Reply-To: stays the only one.
      {"REPLY-TO: list@example.org\r\nFrom: Jane <j@example.org>\r\n",
       "REPLY-TO: list@example.org\r\nFrom: Jane <me@account.example>\r\n"},
      {"From: Jane <j@example.org>\r\nreply-to:\r\n list@example.org\r\n",
       "From: Jane <me@account.example>\r\nreply-to:\r\n list@example.org\r\n"},
      // Already the account's, or no From: at all: nothing changes.
      {"From: Me <ME@Account.Example>\r\n", "From: Me <ME@Account.Example>\r\n"},
      {"Sender: x@example.org\r\nX-From: a@example.org\r\n..dotted: kept\r\n",
       "Sender: x@example.org\r\nX-From: a@example.org\r\n..dotted: kept\r\n"},
  };
  for (const auto& [from, want] : cases) {
    EXPECT_EQ(RewriteFromHeader(trace + from + rest, kMe), trace + want + rest) << from;
  }
  EXPECT_EQ(RewriteFromHeader("Subject: a\r\n\r\n", kMe), "Subject: a\r\n\r\n");
}

}  // namespace
}  // namespace vellomar
