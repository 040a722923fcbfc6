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
      // Sizes no writer makes, from a user who writes the folder by hand: each is refused, none
      // may stop the reader (a number past 2^64 - 1 once ended the relay at every start).
      "Vellomar-Drop: 1\nSize: 99999999999999999999\nRecipient: root\n\nabcd",      // past 2^64 - 1
      "Vellomar-Drop: 1\nSize: 18446744073709551615\nRecipient: root\n\nabcd",      // no file's size
      "Vellomar-Drop: 1\nSize: 09223372036854775807\nRecipient: root\n\nabcd",      // the largest offset
      "Vellomar-Drop: 1\nSize: -0000000000000000004\nRecipient: root\n\nabcd",
      "Vellomar-Drop: 1\nSize: +0000000000000000004\nRecipient: root\n\nabcd",
      "Vellomar-Drop: 1\nSize:  0000000000000000004\nRecipient: root\n\nabcd",
      "Vellomar-Drop: 1\nSize: 00000000000000000004\nSize: 00000000000000000004\nRecipient: root\n\nabcd",
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
       "Subject: hi\r\nTo: root@mypc.example\r\nFrom: Cron Daemon <me@provider.example>\r\n" + added +
           "\r\nBcc: body\r\n.\r\n",
       "hi"},
      // Addresses without a domain, in every field that carries addresses, get the local one;
      // the rest of each field stays byte for byte, its folding included.
      {full,
       "To: root, Jane <jane>, bob@x.example (Bob), r (c)\r\nCc: \"Doe, J\" <jd>,\r\n team: a, b@y;,"
       " undisclosed-recipients:;\r\nreply-to: <>, \"john doe\"\r\nResent-To: Jane Doe\r\nX-Other: root\r\n"
       "Disposition-Notification-To: <a@[127.0.0.1]>, (only a comment)\r\n\r\n.\r\n",
       "To: root@mypc.example, Jane <jane@mypc.example>, bob@x.example (Bob), r@mypc.example (c)\r\n"
       "Cc: \"Doe, J\" <jd@mypc.example>,\r\n team: a@mypc.example, b@y;, undisclosed-recipients:;\r\n"
       "reply-to: <>, \"john doe\"@mypc.example\r\nResent-To: Jane Doe\r\nX-Other: root\r\n"
       "Disposition-Notification-To: <a@[127.0.0.1]>, (only a comment)\r\n"
       "From: Cron Daemon <me@provider.example>\r\n" + added + "\r\n.\r\n",
       ""},
      {full, "From: Jane Doe <jane>\r\nDate: x\r\nMessage-ID: <m@x>\r\n\r\nbody\r\n.\r\n",
       "From: Jane Doe <me@provider.example>\r\nDate: x\r\nMessage-ID: <m@x>\r\n\r\nbody\r\n.\r\n", ""},
      {full, "From: jane@other.example\r\nSubject: a\r\n folded\r\n\r\n.\r\n",
       "From: jane@other.example\r\nSubject: a\r\n folded\r\n" + added + "\r\n.\r\n", "a folded"},
      // No empty line: the first line that is no field begins the body, with one before it.
      {HeaderEdit{"mypc.example", "", "jane@mypc.example", "", false, "", ""},
       "Bcc: kept@x\r\nbody line\r\n.\r\n", "Bcc: kept@x\r\nFrom: <jane@mypc.example>\r\n\r\nbody line\r\n.\r\n", ""},
      {HeaderEdit{"mypc.example", "", "", "", false, "", ""}, "From: root\r\n.\r\n",
       "From: <root@mypc.example>\r\n.\r\n", ""},
      {HeaderEdit{"mypc.example", "", "", "", false, "", ""}, "From: root, jane\r\n.\r\n",
       "From: root@mypc.example, jane@mypc.example\r\n.\r\n", ""},
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

// A field longer than the editor holds is copied through whole, however it is cut into lines
// and pieces: the header never splits, no line end is added, and what follows is mended still.
TEST(DropFileTest, AFieldTooLongToHoldIsCopiedThroughWhole) {
  HeaderEdit edit{"mypc.example", "", "jane@mypc.example", "", true, "today", "<id@mypc.example>"};
  const std::string folded = [] {
    std::string lines;
    for (int i = 0; i < 70; ++i) lines += " " + std::string(1000, 'a') + "\r\n";
    return lines;
  }();
  const std::string longLine = std::string(70 * 1024, 'b') + "\r\n";
  const std::string rest = "To: root\r\n\r\nbody\r\n.\r\n";
  const std::string mended = "To: root@mypc.example\r\n";
  const std::string addedFrom = "From: <jane@mypc.example>\r\n";
  const std::string addedRest = "Date: today\r\nMessage-ID: <id@mypc.example>\r\n\r\nbody\r\n.\r\n";
  struct Case {
    std::string stored;
    std::string mended;
  };
  const Case cases[] = {
      {"Subject: x\r\n" + folded + rest, "Subject: x\r\n" + folded + mended + addedFrom + addedRest},
      {"Subject: " + longLine + folded + rest, "Subject: " + longLine + folded + mended + addedFrom + addedRest},
      {"Subject: x\r\n " + longLine + rest, "Subject: x\r\n " + longLine + mended + addedFrom + addedRest},
      // A From: given up on is still the message's From:; a Bcc: goes whole.
      {"From: x\r\n" + folded + rest, "From: x\r\n" + folded + mended + addedRest},
      {"Bcc: x\r\n" + folded + rest, mended + addedFrom + addedRest},
      {"Bcc: " + longLine + folded + rest, mended + addedFrom + addedRest},
      // A line that is no field ends the header, as a short one does.
      {"To: root\r\n" + longLine + rest, mended + addedFrom + addedRest.substr(0, addedRest.find("\r\n\r\n") + 2) +
                                            "\r\n" + longLine + rest},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, size_t{65536}, c.stored.size()}) {
      LocalHeaderEditor editor(edit);
      std::string out;
      for (size_t at = 0; at < c.stored.size(); at += piece) editor.Feed(std::string_view(c.stored).substr(at, piece), out);
      EXPECT_EQ(out.size(), c.mended.size()) << c.stored.substr(0, 20) << " in pieces of " << piece;
      EXPECT_TRUE(out == c.mended) << c.stored.substr(0, 20) << " in pieces of " << piece << ": "
                                   << out.substr(0, 200);
    }
  }
}

}  // namespace
}  // namespace vellomar
