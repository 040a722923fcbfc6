#include "ui/window_face.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/version.h"
#include "platform/file_system.h"
#include "support/temp_dir.h"

namespace vellomar {
namespace {

namespace fs = std::filesystem;

std::string Plugin(const std::string& kind) { return std::string(VELLOMAR_TEST_PLUGINS) + "/window_face_" + kind + ".so"; }

// A program's folder in the installed layout: <root>/bin, the plug-in's place in <root>/lib.
struct Layout {
  test::TempDir root;
  std::string bin = root.File("bin");
  std::string installed = root.File(VELLOMAR_LIBRARY_FOLDER);
  Layout() {
    fs::create_directories(bin);
    fs::create_directories(installed);
  }
  std::vector<std::string> places() const { return WindowFacePlaces(bin); }
  std::string beside() const { return bin + "/vellomar-qt.so"; }
  std::string inLib() const { return installed + "/vellomar-qt.so"; }
  void Put(const std::string& kind, const std::string& at) const { fs::copy_file(Plugin(kind), at); }
};

TEST(WindowFaceTest, LooksBesideTheProgramThenInItsLibraryFolder) {
  EXPECT_EQ(WindowFacePlaces("/usr/bin"),
            (std::vector<std::string>{"/usr/bin/vellomar-qt.so", "/usr/" VELLOMAR_LIBRARY_FOLDER "/vellomar-qt.so"}));
  EXPECT_EQ(WindowFacePlaces("/home/ann/vellomar/build/app"),
            (std::vector<std::string>{"/home/ann/vellomar/build/app/vellomar-qt.so",
                                      "/home/ann/vellomar/build/" VELLOMAR_LIBRARY_FOLDER "/vellomar-qt.so"}));
}

// Which plug-in is taken, and what is said of one that cannot be: got/want for each layout.
TEST(WindowFaceTest, RunsOnlyAPluginOfThisBuildThatNobodyElseCouldHaveWritten) {
  struct Case {
    const char* name;
    std::function<void(const Layout&)> arrange;
    bool runs;
    // The plug-in named (empty: none found), and a piece of the problem told.
    std::function<std::string(const Layout&)> path;
    std::string problem;
  };
  auto none = [](const Layout&) { return std::string(); };
  auto beside = [](const Layout& l) { return l.beside(); };
  auto inLib = [](const Layout& l) { return l.inLib(); };
  std::vector<Case> cases = {
      {"no plug-in anywhere", [](const Layout&) {}, false, none, ""},
      {"beside the program", [](const Layout& l) { l.Put("this", l.beside()); }, true, beside, ""},
      {"installed", [](const Layout& l) { l.Put("this", l.inLib()); }, true, inLib, ""},
      {"the one beside the program comes first, even when it cannot run",
       [](const Layout& l) {
         l.Put("other", l.beside());
         l.Put("this", l.inLib());
       },
       false, beside, "it belongs to Vellomar 0.1, this program is " VELLOMAR_VERSION},
      {"no entry", [](const Layout& l) { l.Put("none", l.beside()); }, false, beside, "it has no vellomar_window_face"},
      {"no shared object",
       [](const Layout& l) { ASSERT_TRUE(ReplaceFileContents(l.beside(), "#!/bin/sh\n")); },
       false, beside, "vellomar-qt.so"},
      {"writable by its group",
       [](const Layout& l) {
         l.Put("this", l.beside());
         ::chmod(l.beside().c_str(), 0775);
       },
       false, beside, "others may write to it"},
      {"in a folder everyone may write to",
       [](const Layout& l) {
         l.Put("this", l.inLib());
         ::chmod(l.installed.c_str(), 0777);
       },
       false, inLib, "others may write to its folder"},
      {"a symbolic link", [](const Layout& l) { fs::create_symlink(Plugin("this"), l.beside()); }, false, beside,
       "it is not a plain file"},
  };
  if (::geteuid() == 0) {
    cases.push_back({"another user's",
                     [](const Layout& l) {
                       l.Put("this", l.beside());
                       ASSERT_EQ(::chown(l.beside().c_str(), 65534, 65534), 0);
                     },
                     false, beside, "it belongs to another user"});
    cases.push_back({"in another user's folder",
                     [](const Layout& l) {
                       l.Put("this", l.inLib());
                       ASSERT_EQ(::chown(l.installed.c_str(), 65534, 65534), 0);
                     },
                     false, inLib, "its folder belongs to another user"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Layout layout;
    c.arrange(layout);
    WindowFace face = LoadWindowFace(layout.places());
    EXPECT_EQ(face.path, c.path(layout));
    EXPECT_EQ(face.run != nullptr, c.runs);
    if (c.runs) {
      EXPECT_EQ(face.problem, "");
      // The face the plug-in runs gets the arguments and the ending signals.
      char program[] = "vellomar";
      char* argv[] = {program, nullptr};
      sigset_t ending;
      sigemptyset(&ending);
      sigaddset(&ending, SIGTERM);
      EXPECT_EQ(face.run(1, argv, ending), 42);
    } else {
      EXPECT_NE(face.problem.find(c.problem), std::string::npos) << face.problem;
      EXPECT_EQ(face.problem.empty(), c.path(layout).empty());
    }
  }
}

#ifdef VELLOMAR_WINDOW_FACE
// The real plug-in, as the build makes it, in the installed layout: it loads with everything
// it needs and is of this build.
TEST(WindowFaceTest, TheBuiltPluginLoadsWithEverythingItNeeds) {
  Layout layout;
  fs::copy_file(VELLOMAR_WINDOW_FACE, layout.inLib());
  WindowFace face = LoadWindowFace(layout.places());
  EXPECT_NE(face.run, nullptr) << face.problem;
  EXPECT_EQ(face.problem, "");
}
#endif

}  // namespace
}  // namespace vellomar
