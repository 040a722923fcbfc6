#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/link_racer.h"
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

// Root writing a file in a folder another user owns, that user racing to put links under the
// temporary's and the file's names: root's own file (what the links name) is never written,
// never given another mode or owner; what root wrote becomes the folder owner's, mode 0600.
TEST(FileSystemTest, RootWritingInAnotherUsersFolderNeverFollowsTheirLinks) {
  if (::geteuid() != 0) GTEST_SKIP() << "plays a second user, which needs root";
  constexpr uid_t kOwner = 65534;
  test::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
  dir.Write("roots", "root's own\n");
  ASSERT_EQ(::chmod(dir.File("roots").c_str(), 0640), 0);
  ASSERT_EQ(::mkdir(dir.File("theirs").c_str(), 0700), 0);
  ASSERT_EQ(::chown(dir.File("theirs").c_str(), kOwner, kOwner), 0);
  int written = 0;
  {
    test::LinkRacer racer(dir.File("theirs"), kOwner, dir.File("roots"), {"state", "state.tmp"});
    ASSERT_TRUE(racer.racing());
    for (int i = 0; i < 400; ++i) {
      written += ReplaceFileContents(dir.File("theirs/state"), "written\n", NewFileRules{0600, true}).ok() ? 1 : 0;
      (void)ReadPlainFile(dir.File("theirs/state"), 1024);  // whatever it finds, never the link's target
    }
  }
  EXPECT_GT(written, 0);
  struct stat roots {};
  ASSERT_EQ(::stat(dir.File("roots").c_str(), &roots), 0);
  EXPECT_EQ(dir.Read("roots"), "root's own\n");
  EXPECT_EQ(roots.st_uid, 0u);
  EXPECT_EQ(roots.st_gid, 0u);
  EXPECT_EQ(roots.st_mode & 07777, 0640u);
  ASSERT_EQ(::symlink(dir.File("roots").c_str(), dir.File("theirs/link").c_str()), 0);
  EXPECT_EQ(ReadPlainFile(dir.File("theirs/link"), 1024).error(), ELOOP) << "a link is not read through";
  ASSERT_EQ(::link(dir.File("roots").c_str(), dir.File("theirs/second-name").c_str()), 0);
  EXPECT_EQ(ReadPlainFile(dir.File("theirs/second-name"), 1024).error(), EMLINK) << "nor a second name";

  ASSERT_TRUE(ReplaceFileContents(dir.File("theirs/state"), "written\n", NewFileRules{0600, true}));
  struct stat state {};
  ASSERT_EQ(::lstat(dir.File("theirs/state").c_str(), &state), 0);
  EXPECT_TRUE(S_ISREG(state.st_mode));
  EXPECT_EQ(state.st_uid, kOwner);
  EXPECT_EQ(state.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadPlainFile(dir.File("theirs/state"), 1024).value(), "written\n");
}

}  // namespace
}  // namespace vellomar
