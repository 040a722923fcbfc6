#include "spool/waiting_message.h"

#include <gtest/gtest.h>

#include "spool/queue_table.h"
#include "support/temp_dir.h"

namespace vellomar {
namespace {

// 2026-12-06 07:05:03 UTC.
constexpr std::time_t kSunday = 1796540703;

std::string SpoolText(const std::string& recipients, const std::string& trace, const std::string& subject) {
  return "HELO client.example\r\nMAIL FROM:<ann@example.org>\r\n" + recipients + "DATA\r\n" + trace +
         (subject.empty() ? "" : "Subject: " + subject + "\r\n") + "\r\nHi.\r\nSubject: not a header\r\n.\r\nQUIT\r\n";
}

TEST(WaitingMessageTest, MailDatesAsTheTraceHeaderWritesThem) {
  struct Case {
    const char* text;
    std::optional<std::time_t> want;
  };
  const Case cases[] = {
      {"Sun, 6 Dec 2026 8:5:3 +0100 (CET)", kSunday},
      {" Sun, 6 Dec 2026 07:05:03 +0000\r\n", kSunday},
      {"6 Dec 2026 02:05:03 -0500", kSunday},
      {"Sun, 6 Dec 2026 7:5:3 (UTC)", kSunday},
      {"Sun, 6 Dek 2026 7:5:3 +0000", std::nullopt},
      {"Sun, 6 Dec 2026", std::nullopt},
      {"", std::nullopt},
      {"yesterday", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseMailDate(c.text), c.want) << c.text;
}

TEST(WaitingMessageTest, ReadsEnvelopeSubjectAndArrivalWithoutChangingTheFile) {
  test::TempDir dir;
  const std::string content =
      SpoolText("XCPT TO:<bob@example.net>\r\nTCPT TO:<cy@example.com>\r\nRCPT TO:<di@example.com>\r\n",
                "Received: from client.example ([127.0.0.1])\r\n\tby relay with Vellomar; Sun, 6 Dec 2026 8:5:3 +0100 (CET)\r\n",
                "Quarterly figures");
  dir.Write("953.tml", content);
  auto message = ReadWaitingMessage(dir.File("953.tml"), "953.tml");
  ASSERT_TRUE(message.ok());
  EXPECT_EQ(message.value().name, "953.tml");
  EXPECT_EQ(message.value().sender, "<ann@example.org>");
  EXPECT_EQ(message.value().subject, "Quarterly figures");
  EXPECT_EQ(message.value().arrival, kSunday);
  ASSERT_EQ(message.value().recipients.size(), 3u);
  EXPECT_EQ(RecipientsText(message.value().recipients),
            "<bob@example.net> done, <cy@example.com> deferred 2 times, <di@example.com> pending");
  EXPECT_EQ(dir.Read("953.tml"), content);
  EXPECT_FALSE(ReadWaitingMessage(dir.File("gone.tml"), "gone.tml").ok());
}

TEST(WaitingMessageTest, StateAndAgeTexts) {
  const std::pair<char, const char*> states[] = {{'R', "pending"}, {'S', "deferred 1 time"}, {'w', "deferred 5 times"},
                                                 {'X', "done"}};
  for (auto [letter, want] : states) EXPECT_EQ(RecipientStateText(letter), want) << letter;
  const std::pair<long, const char*> ages[] = {{0, "0s"},      {59, "59s"},         {60, "1m"},
                                               {3599, "59m"},  {3600 + 300, "1h 05m"}, {6 * 86400 + 7200, "6d 02h"},
                                               {-30, "0s"}};
  for (auto [seconds, want] : ages) EXPECT_EQ(AgeText(kSunday, kSunday + seconds), want) << seconds;
  EXPECT_EQ(AgeText(std::nullopt, kSunday), "-");
}

TEST(WaitingMessageTest, QueueTableOfASeededFolder) {
  test::TempDir dir;
  const std::string trace = "Received: from c ([::1])\r\n\tby relay with Vellomar; Sun, 6 Dec 2026 7:5:3 +0000 (UTC)\r\n";
  dir.Write("1.tml", SpoolText("RCPT TO:<bob@example.net>\r\n", trace, "Hello"));
  dir.Write("2.tml", SpoolText("UCPT TO:<cy@example.com>\r\n", trace, ""));
  dir.Write("3.tml", SpoolText("XCPT TO:<a@x.org>\r\nRCPT TO:<b@x.org>\r\n", trace, "Partly"));
  // A failure notice carries no trace header of ours: its age is unknown from the file.
  dir.Write("4.tml", "HELO relay\r\nMAIL FROM:<>\r\nRCPT TO:<ann@example.org>\r\nDATA\r\nSubject: Delivery failure\r\n\r\n.\r\nQUIT\r\n");
  dir.Write("notes.txt", "not a spool file");
  dir.Write("5", "a notice being written");
  std::string want =
      "File   Age     Sender             Subject           Recipients\n"
      "1.tml  1h 00m  <ann@example.org>  Hello             <bob@example.net> pending\n"
      "2.tml  1h 00m  <ann@example.org>                    <cy@example.com> deferred 3 times\n"
      "3.tml  1h 00m  <ann@example.org>  Partly            <a@x.org> done, <b@x.org> pending\n"
      "4.tml  -       <>                 Delivery failure  <ann@example.org> pending\n"
      "4 messages wait.\n";
  EXPECT_EQ(QueueTable(ReadWaitingMessages(dir.path()), kSunday + 3600), want);
  EXPECT_EQ(QueueTable({}, kSunday), "File  Age  Sender  Subject  Recipients\n0 messages wait.\n");
  // With the accounts known, each message's one after its sender.
  auto accountOf = [](const std::string& sender) { return sender == "<>" ? "default" : "work"; };
  std::string table = QueueTable(ReadWaitingMessages(dir.path()), kSunday + 3600, accountOf);
  EXPECT_EQ(table.substr(0, table.find('\n', table.find('\n') + 1) + 1),
            "File   Age     Sender             Account  Subject           Recipients\n"
            "1.tml  1h 00m  <ann@example.org>  work     Hello             <bob@example.net> pending\n");
  EXPECT_NE(table.find("<>                 default  Delivery failure"), std::string::npos) << table;
}

}  // namespace
}  // namespace vellomar
