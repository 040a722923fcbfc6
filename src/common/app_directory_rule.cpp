#include "common/app_directory_rule.h"

#include <cstdlib>

#include "common/app_directory.h"
#include "platform/file_system.h"

namespace vellomar {

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string ParentOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string WithoutTrailingSlashes(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// The state folder of a desktop user: made private, and given the template it needs.
void PrepareStateFolder(const std::string& folder, const std::string& installedTemplate) {
  if (!EntryExists(folder)) {
    // A parent that cannot be made shows in the folder's own creation, which is reported later.
    (void)MakeDirectories(ParentOf(folder));
    (void)MakeDirectory(folder, 0700);
  }
  const std::string copy = folder + "/error";
  if (EntryExists(copy)) return;
  auto original = ReadWholeFile(installedTemplate);
  // Without a template to copy, the start-up check names the missing file.
  if (original) (void)ReplaceFileContents(copy, original.value());
}

}  // namespace

std::string ExecutableFolder() {
  auto exe = ReadSymbolicLink("/proc/self/exe");
  return AppDirectoryFromExePath(exe ? exe.value() : std::string());
}

AppDirectoryPlaces CurrentAppDirectoryPlaces() {
  AppDirectoryPlaces places;
  places.chosen = Environment("VELLOMAR_DIR");
  places.executableFolder = ExecutableFolder();
  places.stateHome = Environment("XDG_STATE_HOME");
  if (places.stateHome.empty()) places.stateHome = Environment("HOME") + "/.local/state";
  places.installedTemplate = ParentOf(places.executableFolder) + "/share/vellomar/error";
  return places;
}

std::string ChooseAppDirectory(const AppDirectoryPlaces& places) {
  if (!places.chosen.empty()) return WithoutTrailingSlashes(places.chosen);
  const std::string& portable = places.executableFolder;
  if (!portable.empty() && EntryExists(portable + "/error") && CheckWritable(portable)) return portable;
  const std::string state = places.stateHome + "/vellomar";
  PrepareStateFolder(state, places.installedTemplate);
  return state;
}

}  // namespace vellomar
