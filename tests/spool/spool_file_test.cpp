#include "spool/spool_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/file_system.h"
#include "spool/spool_sync.h"

#include "support/temp_dir.h"

namespace vellomar {
namespace {

struct Line {
  std::string text;
  bool result;
  off_t position;  // before the read
};

std::vector<Line> ReadAll(SpoolFile& file) {
  std::vector<Line> lines;
  std::string text;
  for (;;) {
    off_t position = file.Tell();
    bool result = ReadLine(file, text);
    lines.push_back({text, result, position});
    if (!result) return lines;
  }
}

SpoolFile OpenForUpdate(const test::TempDir& dir, const std::string& name) {
  auto file = SpoolFile::Open(dir.File(name), O_RDWR);
  EXPECT_TRUE(file.ok()) << name;
  return std::move(file.value());
}

TEST(SpoolFileTest, ReadLineResultsPiecesAndPositions) {
  struct Case {
    std::string content;
    std::vector<Line> want;
  };
  const std::string longLine = std::string(2500, 'a') + "\r\n";
  const std::string exact = std::string(1000, 'b');
  const std::vector<Case> cases = {
      {"", {{"", false, 0}}},
      {"HELO a\r\nQUIT\r\n", {{"HELO a\r\n", true, 0}, {"QUIT\r\n", true, 8}, {"", false, 14}}},
      {"bare\nno end", {{"bare\n", true, 0}, {"no end", false, 5}}},
      {"\n\r\n", {{"\n", true, 0}, {"\r\n", true, 1}, {"", false, 3}}},
      {longLine,
       {{std::string(1000, 'a'), true, 0},
        {std::string(1000, 'a'), true, 1000},
        {std::string(500, 'a') + "\r\n", true, 2000},
        {"", false, 2502}}},
      {exact, {{exact, true, 0}, {"", false, 1000}}},
      {std::string(999, 'c') + "\r\n", {{std::string(999, 'c') + "\r", true, 0}, {"\n", true, 1000}, {"", false, 1001}}},
  };
  test::TempDir dir;
  for (size_t i = 0; i < cases.size(); ++i) {
    dir.Write("case.tml", cases[i].content);
    SpoolFile file = OpenForUpdate(dir, "case.tml");
    std::vector<Line> got = ReadAll(file);
    ASSERT_EQ(got.size(), cases[i].want.size()) << "case " << i;
    for (size_t j = 0; j < got.size(); ++j) {
      EXPECT_EQ(got[j].text, cases[i].want[j].text) << "case " << i << " line " << j;
      EXPECT_EQ(got[j].result, cases[i].want[j].result) << "case " << i << " line " << j;
      EXPECT_EQ(got[j].position, cases[i].want[j].position) << "case " << i << " line " << j;
    }
  }
}

TEST(SpoolFileTest, WorkedExampleStateLettersRewrittenInPlace) {
  const std::string before =
      "HELO client.example\r\n"
      "MAIL FROM:<sender address>\r\n"
      "RCPT TO:<first address>\r\n"
      "RCPT TO:<second address>\r\n"
      "DATA\r\n"
      "Received: from client.example\r\n"
      "\tby myhost with Vellomar; Sun, 6 Dec 2026 8:5:3 +0100 (CET)\r\n"
      "Subject: Hello\r\n"
      "\r\n"
      "Hi Bob.\r\n"
      ".\r\n"
      "QUIT\r\n";
  test::TempDir dir;
  dir.Write("953.tml", before);
  SpoolFile file = OpenForUpdate(dir, "953.tml");
  std::vector<Line> lines = ReadAll(file);
  ASSERT_EQ(lines.size(), 13u);
  const off_t first = lines[2].position;
  const off_t second = lines[3].position;
  ASSERT_EQ(lines[2].text, "RCPT TO:<first address>\r\n");

  ASSERT_TRUE(file.Seek(first));
  ASSERT_TRUE(file.Write("X").ok());
  ASSERT_TRUE(file.Seek(second));
  ASSERT_TRUE(file.Write("S").ok());
  ASSERT_TRUE(file.Close().ok());

  std::string after = dir.Read("953.tml");
  std::string want = before;
  want[first] = 'X';
  want[second] = 'S';
  EXPECT_EQ(after, want);
  EXPECT_EQ(after.size(), before.size());
  EXPECT_NE(after.find("XCPT TO:<first address>\r\nSCPT TO:<second address>\r\n"), std::string::npos);
}

TEST(SpoolFileTest, RewriteAheadOfTheBufferIsSeenByTheNextRead) {
  test::TempDir dir;
  dir.Write("a.tml", "RCPT TO:<a>\r\nRCPT TO:<b>\r\nDATA\r\n");
  SpoolFile file = OpenForUpdate(dir, "a.tml");
  std::string line;
  ASSERT_TRUE(ReadLine(file, line));  // the whole file is in the buffer now
  off_t next = file.Tell();
  ASSERT_EQ(next, 13);
  // Rewrite the line that the buffer already holds, then go on reading from where we were.
  ASSERT_TRUE(file.Seek(next));
  ASSERT_TRUE(file.Write("T").ok());
  EXPECT_EQ(file.Tell(), next + 1);
  ASSERT_TRUE(file.Seek(next));
  ASSERT_TRUE(ReadLine(file, line));
  EXPECT_EQ(line, "TCPT TO:<b>\r\n");
  // A write made mid-buffer lands at the reading position, not at the end of the buffer.
  ASSERT_TRUE(file.Rewind());
  ASSERT_TRUE(ReadLine(file, line));
  ASSERT_TRUE(file.Write("X").ok());
  ASSERT_TRUE(file.Close().ok());
  EXPECT_EQ(dir.Read("a.tml"), "RCPT TO:<a>\r\nXCPT TO:<b>\r\nDATA\r\n");
}

TEST(SpoolFileTest, LargeFileIsReadThroughTheBuffer) {
  test::TempDir dir;
  std::string content;
  for (int i = 0; i < 20000; ++i) content += "line " + std::to_string(i) + "\r\n";
  dir.Write("big.tml", content);
  SpoolFile file = OpenForUpdate(dir, "big.tml");
  std::string line;
  std::string joined;
  int count = 0;
  while (ReadLine(file, line)) {
    joined += line;
    ++count;
  }
  EXPECT_EQ(count, 20000);
  EXPECT_EQ(joined, content);
  EXPECT_FALSE(file.ReadFailed());
  EXPECT_EQ(file.Tell(), static_cast<off_t>(content.size()));
}

// Callers arriving together share syncs, whether the kernel's syncfs reports errors (one sync of
// the file system for a round of several) or not (each file in turn, the folder once), and each
// is told how the round that covered it went: never more rounds than callers, and a failure
// reaches every caller it covered. Half the callers rewrite a file in place, half need a new
// file's name; a folder that is gone fails every round that needs it.
TEST(SpoolFileTest, SpoolSyncIsSharedAndItsFailureReachesEveryCaller) {
  test::TempDir dir;
  struct Case {
    std::string folder;
    bool syncfs;
    int wantError;
  };
  for (const Case& c : {Case{dir.path(), true, 0}, Case{dir.path(), false, 0}, Case{dir.File("missing"), true, ENOENT},
                        Case{dir.File("missing"), false, ENOENT}}) {
    SCOPED_TRACE(c.folder + (c.syncfs ? " syncfs" : " each"));
    SpoolSync sync(c.folder, c.syncfs);
    constexpr int kCallers = 8;
    std::vector<int> errors(kCallers, -1);
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i) {
      callers.emplace_back([&, i] {
        auto file = OpenFile(dir.File("f" + std::to_string(i)), O_CREAT | O_RDWR, 0600);
        ASSERT_TRUE(file);
        ASSERT_TRUE(WriteAll(file.value().get(), "x", 1));
        // A rewrite alone never needs the folder: only name syncs meet the missing one.
        const auto need = i % 2 == 0 || c.wantError != 0 ? SpoolSync::Need::FileAndName : SpoolSync::Need::Data;
        errors[i] = sync.Sync(file.value().get(), need).error();
      });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(errors, std::vector<int>(kCallers, c.wantError));
    EXPECT_GE(sync.syncsMade(), 1u);
    EXPECT_LE(sync.syncsMade(), static_cast<uint64_t>(kCallers));
    if (!c.syncfs) {
      EXPECT_EQ(sync.sharedSyncsMade(), 0u);
    }
    EXPECT_LE(sync.sharedSyncsMade(), sync.syncsMade());
  }
}

}  // namespace
}  // namespace vellomar
