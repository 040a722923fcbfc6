#include "common/app_directory.h"

#include <fcntl.h>

#include <cctype>
#include <mutex>

#include "common/app_directory_rule.h"
#include "platform/file_system.h"

namespace vellomar {

namespace {
std::mutex directoryLock;
std::string overrideDirectory;
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
  if (!overrideDirectory.empty()) return overrideDirectory;
  if (chosenDirectory.empty()) chosenDirectory = ChooseAppDirectory(CurrentAppDirectoryPlaces());
  return chosenDirectory;
}

void SetAppDirectory(std::string directory) {
  std::lock_guard<std::mutex> guard(directoryLock);
  overrideDirectory = std::move(directory);
}

std::string AppFilePath(const std::string& name) { return GetAppDirectory() + "/" + name; }

Status SyncAppDirectory() {
  auto folder = OpenFile(GetAppDirectory(), O_RDONLY | O_DIRECTORY);
  if (!folder) return FailWith(folder.failure());
  return SyncFile(folder.value().get());
}

}  // namespace vellomar
