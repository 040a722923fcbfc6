#include "spool/drop_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "spool/local_header_editor.h"
#include "spool/message_text.h"
#include "support/temp_dir.h"

namespace vellomar {
namespace {

std::vector<std::string> Names(const test::TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) names.push_back(entry.path().filename());
  return names;
}

ErrorOr<DropReading> ReadBack(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  auto reading = ReadDropEnvelope(fd);
  ::close(fd);
  return reading;
}

TEST(DropFileTest, AFinishedFileReadsBackAndOnlyItsFinalNameIsEverSeen) {
  test::TempDir dir;
  DropEnvelope envelope{true, "", "Cron Daemon", {"root", "jane@x.example"}};
  std::string data = std::string("Subject: hi\n\nNUL \0 and\r\nCR LF\n", 30);
  {
    auto writer = DropWriter::Create(dir.path(), envelope);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer.value().Append(data.substr(0, 5)));
    std::vector<std::string> names = Names(dir);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(IsDropTemporaryName(names[0])) << names[0];
    ASSERT_TRUE(writer.value().Append(data.substr(5)));
    ASSERT_TRUE(writer.value().Finish());
    EXPECT_TRUE(IsDropName(writer.value().name()));
  }
  std::vector<std::string> names = Names(dir);
  ASSERT_EQ(names.size(), 1u);
  ASSERT_TRUE(IsDropName(names[0])) << names[0];
  struct stat facts {};
  ASSERT_EQ(::stat(dir.File(names[0]).c_str(), &facts), 0);
  EXPECT_EQ(facts.st_mode & 0777, 0640u);
  auto reading = ReadBack(dir.File(names[0]));
  ASSERT_TRUE(reading);
  EXPECT_TRUE(reading.value().envelope.senderGiven);
  EXPECT_EQ(reading.value().envelope.sender, "");
  EXPECT_EQ(reading.value().envelope.fullName, "Cron Daemon");
  EXPECT_EQ(reading.value().envelope.recipients, envelope.recipients);
  EXPECT_EQ(dir.Read(names[0]).substr(reading.value().dataStart), data);
  EXPECT_EQ(reading.value().dataSize, static_cast<off_t>(data.size()));

  // A writer given up leaves nothing; a field that would not stay one line is refused.
  { ASSERT_TRUE(DropWriter::Create(dir.path(), envelope)); }
  EXPECT_EQ(Names(dir).size(), 1u);
  EXPECT_FALSE(DropWriter::Create(dir.path(), DropEnvelope{true, "a@x\nRecipient: b@y", "", {"c@z"}}));
  EXPECT_EQ(Names(dir).size(), 1u);
}

TEST(DropFileTest, FilesNotWrittenWholeAreRefused) {
  test::TempDir dir;
  const std::string size = "Size: 00000000000000000004\n";
  const char* bad[] = {
      "",
      "Vellomar-Drop: 1\nSize: 00000000000000000004\nRecipient: root\n\nabc",      // shorter than its size
      "Vellomar-Drop: 1\nSize: 00000000000000000004\nRecipient: root\n\nabcde",    // longer
      "Vellomar-Drop: 1\nSize: 4\nRecipient: root\n\nabcd",                         // no size written yet
      "Vellomar-Drop: 2\nSize: 00000000000000000004\nRecipient: root\n\nabcd",     // another format
      "Vellomar-Drop: 1\nSize: 00000000000000000004\nOwner: 0\nRecipient: root\n\nabcd",  // an unknown field
      "Vellomar-Drop: 1\nSize: 00000000000000000004\nRecipient: root\nabcd",       // no end of envelope
  };
  for (const char* text : bad) {
    dir.Write("file", text);
    EXPECT_FALSE(ReadBack(dir.File("file"))) << text;
  }
  dir.Write("file", "Vellomar-Drop: 1\n" + size + "Recipient: root\n\nabcd");
  EXPECT_TRUE(ReadBack(dir.File("file")));
}

// A program's text becomes SMTP data as a client would have sent it, in pieces of every size.
TEST(DropFileTest, MessageTextIsStoredAsAnSmtpClientSendsIt) {
  struct Case {
    std::string raw;
    std::string stored;
  };
  const Case cases[] = {
      {"a\nb\n", "a\r\nb\r\n.\r\n"},
      {"a\r\nb", "a\r\nb\r\n.\r\n"},
      {"a\rb\r", "a\r\nb\r\n.\r\n"},
      {".\n.x\nx.\n", "..\r\n..x\r\nx.\r\n.\r\n"},
      {std::string("\0\n", 2), std::string("\0\r\n.\r\n", 6)},
      {"", ".\r\n"},
  };
  for (const Case& c : cases) {
    for (size_t piece = 1; piece <= std::max<size_t>(c.raw.size(), 1); ++piece) {
      MessageTextEncoder encoder;
      std::string stored;
      for (size_t at = 0; at < c.raw.size(); at += piece) encoder.Feed(std::string_view(c.raw).substr(at, piece), stored);
      encoder.Finish(stored);
      EXPECT_EQ(stored, c.stored) << c.raw << " in pieces of " << piece;
    }
  }
}

TEST(DropFileTest, ALocalUsersHeaderIsMendedAsItStreamsPast) {
  HeaderEdit full{"mypc.example", "me@provider.example", "me@provider.example", "Cron Daemon", true,
                  "Tue, 8 Dec 2026 12:00:00 +0000", "<id@mypc.example>"};
  const std::string added = "Date: Tue, 8 Dec 2026 12:00:00 +0000\r\nMessage-ID: <id@mypc.example>\r\n";
  struct Case {
    HeaderEdit edit;
    std::string stored;
    std::string mended;
    std::string subject;
  };
  const Case cases[] = {
      {full, "Subject: hi\r\nBcc: a@x,\r\n b@y\r\nTo: root\r\n\r\nBcc: body\r\n.\r\n",
       "Subject: hi\r\nTo: root\r\nFrom: Cron Daemon <me@provider.example>\r\n" + added + "\r\nBcc: body\r\n.\r\n",
       "hi"},
      {full, "From: Jane Doe <jane>\r\nDate: x\r\nMessage-ID: <m@x>\r\n\r\nbody\r\n.\r\n",
       "From: Jane Doe <me@provider.example>\r\nDate: x\r\nMessage-ID: <m@x>\r\n\r\nbody\r\n.\r\n", ""},
      {full, "From: jane@other.example\r\nSubject: a\r\n folded\r\n\r\n.\r\n",
       "From: jane@other.example\r\nSubject: a\r\n folded\r\n" + added + "\r\n.\r\n", "a folded"},
      // No empty line: the first line that is no field begins the body, with one before it.
      {HeaderEdit{"mypc.example", "", "jane@mypc.example", "", false, "", ""},
       "Bcc: kept@x\r\nbody line\r\n.\r\n", "Bcc: kept@x\r\nFrom: <jane@mypc.example>\r\n\r\nbody line\r\n.\r\n", ""},
      {HeaderEdit{"mypc.example", "", "", "", false, "", ""}, "From: root\r\n.\r\n",
       "From: <root@mypc.example>\r\n.\r\n", ""},
  };
  for (const Case& c : cases) {
    for (size_t piece = 1; piece <= c.stored.size(); ++piece) {
      LocalHeaderEditor editor(c.edit);
      std::string out;
      for (size_t at = 0; at < c.stored.size(); at += piece) editor.Feed(std::string_view(c.stored).substr(at, piece), out);
      EXPECT_EQ(out, c.mended) << c.stored << " in pieces of " << piece;
      EXPECT_EQ(editor.subject(), c.subject) << c.stored;
    }
  }
}

}  // namespace
}  // namespace vellomar
