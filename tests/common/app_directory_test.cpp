#include "common/app_directory.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vellomar {
namespace {

TEST(AppDirectoryTest, FolderOfExecutablePathByTheProgramsRule) {
  struct Case {
    const char* path;
    const char* want;
  };
  const Case cases[] = {
      {"/opt/vellomar/vellomar", "/opt/vellomar"},
      {"/opt/vellomar/vellomar \t\n", "/opt/vellomar"},
      {"/usr/bin/", "/usr/bin"},
      {"/vellomar", "/"},
      {"ab", "a"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AppDirectoryFromExePath(c.path), c.want) << c.path;
  }
}

TEST(AppDirectoryTest, DefaultsToTheRunningExecutablesFolder) {
  std::string directory = GetAppDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_NE(directory.back(), '/');
  // The test binary lives in the build tree's tests folder.
  EXPECT_NE(directory.find("tests"), std::string::npos) << directory;
}

TEST(AppDirectoryTest, OverrideRedirectsEveryFilePathAndCanBeLifted) {
  std::string original = GetAppDirectory();
  test::TempDir dir;
  SetAppDirectory(dir.path());
  EXPECT_EQ(GetAppDirectory(), dir.path());
  EXPECT_EQ(AppFilePath("logfile"), dir.path() + "/logfile");
  SetAppDirectory("");
  EXPECT_EQ(GetAppDirectory(), original);
}

}  // namespace
}  // namespace vellomar
