#include "common/app_directory.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "common/app_directory_rule.h"
#include "platform/file_system.h"
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

TEST(AppDirectoryTest, PlacesComeFromTheEnvironmentAndTheExecutable) {
  ::setenv("VELLOMAR_DIR", "/srv/relay", 1);
  ::setenv("XDG_STATE_HOME", "/home/u/state", 1);
  AppDirectoryPlaces places = CurrentAppDirectoryPlaces();
  EXPECT_EQ(places.chosen, "/srv/relay");
  EXPECT_EQ(places.stateHome, "/home/u/state");
  ::unsetenv("VELLOMAR_DIR");
  ::unsetenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  const std::string originalHome = home != nullptr ? home : "";
  ::setenv("HOME", "/home/u", 1);
  places = CurrentAppDirectoryPlaces();
  ::setenv("HOME", originalHome.c_str(), 1);
  EXPECT_EQ(places.chosen, "");
  EXPECT_EQ(places.stateHome, "/home/u/.local/state");
  // This test binary lives in the build tree's tests folder; its prefix is the build tree.
  auto self = ReadSymbolicLink("/proc/self/exe");
  ASSERT_TRUE(self);
  const std::string folder = AppDirectoryFromExePath(self.value());
  EXPECT_EQ(places.executableFolder, folder);
  EXPECT_EQ(ExecutableFolder(), folder);
  EXPECT_EQ(places.installedTemplate, folder.substr(0, folder.rfind('/')) + "/share/vellomar/error");
}

// Runs the choice as a user who cannot write to folders it does not own: root may write
// anywhere, so as root the choice runs in a child that became nobody, over a tree nobody
// may walk and whose state folder nobody owns.
std::string ChooseWithoutPrivileges(const test::TempDir& root, const AppDirectoryPlaces& places) {
  if (::geteuid() != 0) return ChooseAppDirectory(places);
  const uid_t nobody = 65534;
  EXPECT_EQ(::chmod(root.path().c_str(), 0755), 0);
  EXPECT_EQ(::chown(places.stateHome.c_str(), nobody, nobody), 0);
  int out[2];
  if (::pipe(out) != 0) return "pipe failed";
  pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(2);
    std::string chosen = ChooseAppDirectory(places);
    ::_exit(WriteAll(out[1], chosen.data(), chosen.size()) ? 0 : 3);
  }
  ::close(out[1]);
  std::string chosen;
  char buffer[512];
  ssize_t got;
  while ((got = ::read(out[0], buffer, sizeof buffer)) > 0) chosen.append(buffer, static_cast<size_t>(got));
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return chosen;
}

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

TEST(AppDirectoryTest, ChoosesTheFolderByTheRule) {
  enum class Want { Chosen, Portable, State };
  struct Case {
    const char* name;
    bool chosen;              // VELLOMAR_DIR set
    bool portableTemplate;    // the executable's folder holds `error`
    bool readOnlyExecutable;  // ... and this process may not write there
    bool installedTemplate;   // <prefix>/share/vellomar/error exists
    bool stateTemplate;       // the state folder exists and holds its own `error`
    Want want;
    const char* stateError;   // the state folder's `error` afterwards; nullptr: none there
  };
  const Case cases[] = {
      {"chosen folder wins over a portable one", true, true, false, true, false, Want::Chosen, nullptr},
      {"portable folder", false, true, false, true, false, Want::Portable, nullptr},
      {"installed: no template beside the program", false, false, false, true, false, Want::State, "installed"},
      {"read-only executable folder", false, true, true, true, false, Want::State, "installed"},
      {"the state folder keeps its own template", false, false, false, true, true, Want::State, "own"},
      {"no template anywhere", false, false, false, false, false, Want::State, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir root;
    for (const char* folder : {"usr", "usr/bin", "usr/share", "usr/share/vellomar", "chosen", "home"}) {
      ASSERT_TRUE(MakeDirectory(root.File(folder)));
    }
    AppDirectoryPlaces places{c.chosen ? root.File("chosen/") : "", root.File("usr/bin"), root.File("home/state"),
                              root.File("usr/share/vellomar/error")};
    if (c.portableTemplate) root.Write("usr/bin/error", "portable");
    if (c.installedTemplate) root.Write("usr/share/vellomar/error", "installed");
    ASSERT_TRUE(MakeDirectory(places.stateHome));
    if (c.stateTemplate) {
      ASSERT_TRUE(MakeDirectory(places.stateHome + "/vellomar", 0750));
      root.Write("home/state/vellomar/error", "own");
    }
    const std::string state = places.stateHome + "/vellomar";

    std::string got;
    if (c.readOnlyExecutable) {
      ASSERT_EQ(::chmod(places.executableFolder.c_str(), 0555), 0);
      got = ChooseWithoutPrivileges(root, places);
      ASSERT_EQ(::chmod(places.executableFolder.c_str(), 0755), 0);  // so that the folder can be removed
    } else {
      got = ChooseAppDirectory(places);
    }

    const std::string want = c.want == Want::Chosen ? root.File("chosen") : c.want == Want::Portable ? places.executableFolder : state;
    EXPECT_EQ(got, want);
    if (c.want != Want::State) {
      EXPECT_FALSE(EntryExists(state)) << "the state folder is made only when it is used";
      continue;
    }
    EXPECT_EQ(ModeOf(state), c.stateTemplate ? 0750u : 0700u) << "made private; an existing one is left as it is";
    if (c.stateError == nullptr) {
      EXPECT_FALSE(EntryExists(state + "/error"));
    } else {
      EXPECT_EQ(root.Read("home/state/vellomar/error"), c.stateError);
    }
    EXPECT_EQ(root.Read("usr/bin/error"), c.portableTemplate ? "portable" : "") << "the program's folder is untouched";
  }
}

TEST(AppDirectoryTest, MissingParentsOfTheStateFolderAreMade) {
  test::TempDir root;
  root.Write("error", "installed");
  AppDirectoryPlaces places{"", root.File("bin"), root.File("home/.local/state"), root.File("error")};
  EXPECT_EQ(ChooseAppDirectory(places), root.File("home/.local/state/vellomar"));
  EXPECT_EQ(ModeOf(root.File("home/.local/state/vellomar")), 0700u);
  EXPECT_EQ(root.Read("home/.local/state/vellomar/error"), "installed");
}

}  // namespace
}  // namespace vellomar
