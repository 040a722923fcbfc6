#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace vellomar {
namespace {

TEST(FileSystemTest, RenameNoReplaceNeverTakesAnExistingName) {
  test::TempDir dir;
  dir.Write("stem", "notice");
  dir.Write("taken.tml", "someone else's");
  Status clash = RenameNoReplace(dir.File("stem"), dir.File("taken.tml"));
  EXPECT_FALSE(clash);
  EXPECT_EQ(clash.error(), EEXIST);
  EXPECT_EQ(dir.Read("taken.tml"), "someone else's");
  EXPECT_TRUE(RenameNoReplace(dir.File("stem"), dir.File("free.tml")));
  EXPECT_EQ(dir.Read("free.tml"), "notice");
  EXPECT_FALSE(dir.Exists("stem"));
}

TEST(FileSystemTest, ReplaceFileContentsLeavesNoTemporaryAndMakesFolders) {
  test::TempDir dir;
  ASSERT_TRUE(MakeDirectories(dir.File("a/b/c")));
  EXPECT_TRUE(MakeDirectories(dir.File("a/b/c"))) << "existing folders are fine";
  ASSERT_TRUE(ReplaceFileContents(dir.File("a/b/c/store.ini"), "one\n"));
  ASSERT_TRUE(ReplaceFileContents(dir.File("a/b/c/store.ini"), "two\n"));
  EXPECT_EQ(dir.Read("a/b/c/store.ini"), "two\n");
  EXPECT_FALSE(dir.Exists("a/b/c/store.ini.tmp"));
  auto content = ReadWholeFile(dir.File("a/b/c/store.ini"));
  ASSERT_TRUE(content.ok());
  EXPECT_EQ(content.value(), "two\n");
  EXPECT_EQ(ReadWholeFile(dir.File("missing")).error(), ENOENT);
  EXPECT_FALSE(ReplaceFileContents(dir.File("no/such/folder/file"), "x"));
}

// Links left under the temporary's name and the file's name are replaced, never written
// through; a link or a second name is never read as the file.
TEST(FileSystemTest, ReplacingAndReadingNeverFollowLinks) {
  test::TempDir dir;
  dir.Write("target", "someone else's\n");
  for (const char* planted : {"state.tmp", "state"}) {
    (void)::unlink(dir.File(planted).c_str());  // the file the round before wrote
    ASSERT_EQ(::symlink(dir.File("target").c_str(), dir.File(planted).c_str()), 0);
    ASSERT_TRUE(ReplaceFileContents(dir.File("state"), "written\n"));
    EXPECT_EQ(dir.Read("target"), "someone else's\n") << planted;
    EXPECT_EQ(ReadPlainFile(dir.File("state"), 1024).value(), "written\n") << planted;
  }
  EXPECT_EQ(ReadPlainFile(dir.File("missing"), 1024).error(), ENOENT);
  ASSERT_EQ(::symlink(dir.File("target").c_str(), dir.File("link").c_str()), 0);
  EXPECT_EQ(ReadPlainFile(dir.File("link"), 1024).error(), ELOOP);
  ASSERT_EQ(::link(dir.File("target").c_str(), dir.File("second-name").c_str()), 0);
  EXPECT_EQ(ReadPlainFile(dir.File("second-name"), 1024).error(), EMLINK);
  EXPECT_EQ(ReadPlainFile(dir.path(), 1024).error(), EINVAL);
  EXPECT_EQ(ReadPlainFile(dir.File("state"), 3).error(), EFBIG);
}

}  // namespace
}  // namespace vellomar
