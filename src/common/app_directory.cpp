#include "common/app_directory.h"

#include <cctype>
#include <cstdlib>
#include <mutex>

#include "common/app_directory_rule.h"

namespace vellomar {

namespace {
std::mutex directoryLock;
// The folder the rule chose, found once: choosing it may create it and copy the template.
std::string chosenDirectory;
}  // namespace

std::string AppDirectoryFromExePath(std::string path) {
  while (!path.empty() && std::isspace(static_cast<unsigned char>(path.back()))) path.pop_back();
  while (path.size() > 2 && path.back() != '/') path.pop_back();
  if (!path.empty()) path.pop_back();
  return path;
}

std::string GetAppDirectory() {
  std::lock_guard<std::mutex> guard(directoryLock);
  if (chosenDirectory.empty()) chosenDirectory = ChooseAppDirectory(CurrentAppDirectoryPlaces());
  return chosenDirectory;
}

}  // namespace vellomar

namespace vellomar {

std::string GetDropFolder() {
  const char* chosen = std::getenv("VELLOMAR_DROP");
  if (chosen != nullptr && *chosen != '\0') return chosen;
  return GetAppDirectory() + "/drop";
}

}  // namespace vellomar
