#include "sendmail/sendmail_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sendmail/message_input.h"

namespace vellomar {
namespace {

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : "|") + item;
  return text;
}

// The command lines programs really pass (cron, mailx, git, PHP, mdadm), and the mistakes.
TEST(SendmailOptionsTest, CommandLinesAsProgramsPassThem) {
  struct Case {
    const char* program;
    std::vector<std::string> arguments;
    SendmailMode mode;
    bool extract;
    bool dotEnds;
    const char* sender;  // nullptr: none given
    const char* fullName;
    const char* recipients;
    const char* error;  // a part of the usage error, "" when none
  };
  const Case cases[] = {
      {"/usr/sbin/sendmail", {"-FCronDaemon", "-i", "-B8BITMIME", "-oem", "root"}, SendmailMode::Deliver, false,
       false, nullptr, "CronDaemon", "root", ""},
      {"sendmail", {"-t", "-oi", "-f", "<jane@example.org>"}, SendmailMode::Deliver, true, false, "jane@example.org",
       "", "", ""},
      {"sendmail", {"-ti", "-r<>", "a@x.example, B <b@y.example>"}, SendmailMode::Deliver, true, false, "", "",
       "a@x.example, B <b@y.example>", ""},
      {"sendmail", {"-oQ/var/spool", "-odb", "-v", "-B", "7BIT", "-N", "never", "-R", "hdrs", "-V", "id", "-X",
                    "/tmp/log", "--", "-odd-name"},
       SendmailMode::Deliver, false, true, nullptr, "", "-odd-name", ""},
      {"sendmail", {"-bs"}, SendmailMode::Smtp, false, true, nullptr, "", "", ""},
      {"sendmail", {"-bp"}, SendmailMode::Queue, false, true, nullptr, "", "", ""},
      {"/usr/bin/mailq", {}, SendmailMode::Queue, false, true, nullptr, "", "", ""},
      {"newaliases", {}, SendmailMode::Aliases, false, true, nullptr, "", "", ""},
      {"sendmail", {"-bm", "root", "jane"}, SendmailMode::Deliver, false, true, nullptr, "", "root|jane", ""},
      {"sendmail", {"-q", "root"}, SendmailMode::Deliver, false, true, nullptr, "", "", "unknown option -q"},
      {"sendmail", {"-f"}, SendmailMode::Deliver, false, true, nullptr, "", "", "needs a value"},
      {"sendmail", {"-bd"}, SendmailMode::Deliver, false, true, nullptr, "", "", "not served"},
      {"sendmail", {"-B", "BINARYMIME"}, SendmailMode::Deliver, false, true, nullptr, "", "", "not served"},
      {"sendmail", {"-oX"}, SendmailMode::Deliver, false, true, nullptr, "", "", "not served"},
      {"newaliases", {"root"}, SendmailMode::Aliases, false, true, nullptr, "", "", "no address"},
  };
  for (const Case& c : cases) {
    SendmailCommandLine line = ParseSendmailCommandLine(c.program, c.arguments);
    std::string name = std::string(c.program) + " " + Joined(c.arguments);
    if (*c.error != '\0') {
      EXPECT_NE(line.usageError.find(c.error), std::string::npos) << name << ": " << line.usageError;
      continue;
    }
    ASSERT_EQ(line.usageError, "") << name;
    const SendmailRequest& got = line.request;
    EXPECT_EQ(got.mode, c.mode) << name;
    EXPECT_EQ(got.extractRecipients, c.extract) << name;
    EXPECT_EQ(got.dotEnds, c.dotEnds) << name;
    EXPECT_EQ(got.senderGiven, c.sender != nullptr) << name;
    if (c.sender != nullptr) {
      EXPECT_EQ(got.sender, c.sender) << name;
    }
    EXPECT_EQ(got.fullName, c.fullName) << name;
    std::string recipients;
    for (const std::string& list : got.recipients) recipients += (recipients.empty() ? "" : "|") + list;
    EXPECT_EQ(recipients, c.recipients) << name;
  }
}

// Where a message read from a program ends, fed in pieces of every size so that a dot or a
// CR split across two reads is still seen.
TEST(SendmailOptionsTest, MessageEndsAtALoneDotOnlyWhenAsked) {
  struct Case {
    bool dotEnds;
    bool unstuff;
    std::string input;
    std::string message;
    bool ended;
    size_t used;  // of the input, when ended
  };
  const Case cases[] = {
      {true, false, "a\n.\nafter", "a\n", true, 4},
      {true, false, "a\r\n.\r\nafter", "a\r\n", true, 6},
      {false, false, "a\n.\nb\n", "a\n.\nb\n", false, 0},
      {true, false, "a\n.b\n..\n", "a\n.b\n..\n", false, 0},
      {true, false, "a\n.", "a\n", false, 0},  // a last lone dot without its line end ends it too
      {false, false, "a\n.", "a\n.", false, 0},
      {true, true, "a\r\n..b\r\n.\r\nQUIT\r\n", "a\r\n.b\r\n", true, 11},
      {true, false, std::string("x\0y\n", 4), std::string("x\0y\n", 4), false, 0},
  };
  for (const Case& c : cases) {
    for (size_t piece = 1; piece <= c.input.size(); ++piece) {
      MessageEnd end(c.dotEnds, c.unstuff);
      std::string out;
      size_t used = 0;
      for (size_t at = 0; at < c.input.size() && !end.ended(); at += piece) {
        std::string_view part = std::string_view(c.input).substr(at, piece);
        size_t took = end.Feed(part, out);
        used = at + took;
      }
      if (!end.ended()) end.Finish(out);
      EXPECT_EQ(out, c.message) << c.input << " in pieces of " << piece;
      EXPECT_EQ(end.ended(), c.ended) << c.input;
      if (c.ended) {
        EXPECT_EQ(used, c.used) << c.input << " in pieces of " << piece;
      }
    }
  }
}

TEST(SendmailOptionsTest, HeaderRecipientsComeFromToCcAndBccAlone) {
  struct Case {
    std::string start;
    std::string recipients;
    bool complete;
  };
  const Case cases[] = {
      {"To: a@x.example\nCc: B <b@y.example>,\n  c@z.example\nBcc: hidden@x.example\nFrom: me@x.example\n\nTo: "
       "body@x.example\n",
       "a@x.example|b@y.example|c@z.example|hidden@x.example", true},
      {"to: root\r\nSubject: Cc: nobody@x.example\r\n\r\n", "root", true},
      {"Reply-To: r@x.example\nResent-To: s@x.example\n\n", "", true},
      {"To: a@x.example\nnot a field\nCc: b@x.example\n\n", "a@x.example", true},
      {"To: a@x.example\nCc: b@x.ex", "a@x.example", false},  // the header goes on beyond what was read
  };
  for (const Case& c : cases) {
    bool complete = false;
    EXPECT_EQ(Joined(HeaderRecipients(c.start, complete)), c.recipients) << c.start;
    EXPECT_EQ(complete, c.complete) << c.start;
  }
}

}  // namespace
}  // namespace vellomar
