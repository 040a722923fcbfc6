#include "platform/file_system.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vellomar
