#include "delivery/spool_summary.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "delivery_fixture.h"
#include "support/temp_dir.h"

namespace vellomar {
namespace {

MailSummary Read(const std::string& content, std::string* mailLine = nullptr) {
  test::TempDir dir;
  dir.Write("s.tml", content);
  auto file = SpoolFile::Open(dir.File("s.tml"), O_RDWR);
  std::string mail;
  MailSummary summary = ReadSpoolSummary(file.value(), mail);
  if (mailLine) *mailLine = mail;
  return summary;
}

TEST(SpoolSummaryTest, WorkedExample) {
  std::string mailLine;
  MailSummary summary = Read(test::WorkedExample(), &mailLine);
  EXPECT_EQ(mailLine, "MAIL FROM:<sender address>\r\n");
  EXPECT_EQ(summary.sender, "<sender address>\r\n");
  EXPECT_EQ(summary.recipientCount, 2);
  EXPECT_EQ(summary.subject, "Hello\r\n");
  EXPECT_EQ(summary.size, static_cast<int32_t>(test::WorkedExample().size()));
}

TEST(SpoolSummaryTest, FieldRules) {
  struct Case {
    std::string content;
    std::string sender;
    int32_t count;
    std::string subject;
  };
  const std::vector<Case> cases = {
      {"helo a\r\nmail from:<s>\r\nrcpt to:<r>\r\ndata\r\nsubject: low\r\n", "<s>\r\n", 1, "low\r\n"},
      {"HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<r>\r\nDATA\r\n\r\nbody\r\n.\r\n", "<s>\r\n", 1, ""},
      {"HELO a\r\nRCPT TO:<r>\r\nDATA\r\nSubject: x\r\n", "", 0, ""},
      // Only the first run counts; the subject is the text after the colon, however spaced.
      {"HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<a>\r\nNOOP\r\nRCPT TO:<b>\r\nSubject: hi\r\n", "<s>\r\n", 1, "hi\r\n"},
      {"HELO a\r\nMAIL  FROM:<s>\r\nRCPT TO:<a>\r\nSubject: hi\r\n", "<s>\r\n", 1, "hi\r\n"},
      {"HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<a>\r\nSubjects: no\r\nSUBJECT :Hello\r\n", "<s>\r\n", 1, "Hello\r\n"},
      {"HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<a>\r\nRCPT TO:<b>", "<s>\r\n", 2, ""},
      {"HELO a\r\nMAIL FROM:<s>\r\nRCPT TO:<a>\r\nSubject: no end", "<s>\r\n", 1, "no end"},
  };
  for (const Case& c : cases) {
    MailSummary summary = Read(c.content);
    EXPECT_EQ(summary.sender, c.sender) << c.content;
    EXPECT_EQ(summary.recipientCount, c.count) << c.content;
    EXPECT_EQ(summary.subject, c.subject) << c.content;
  }
}

}  // namespace
}  // namespace vellomar
