#include "control/registry_key.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "common/system_error.h"
#include "control/store_file.h"
#include "platform/file_system.h"

namespace vellomar {

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool Save(const std::string& path, const StoreFile& file) {
  auto slash = path.rfind('/');
  if (slash != std::string::npos && !MakeDirectories(path.substr(0, slash))) return false;
  return ReplaceFileContents(path, file.Serialize()).ok();
}

// A missing file is an empty store; one that cannot be read (or is too large to be one) is
// left alone altogether, so that a write never replaces a store it could not read.
std::optional<StoreFile> Load(const std::string& path) {
  auto content = ReadWholeFile(path, kMaxStoreFileSize);
  if (content) return StoreFile::Parse(content.value());
  if (content.error() == ENOENT) return StoreFile{};
  return std::nullopt;
}

}  // namespace

std::string ConfigHome() {
  std::string home = Environment("XDG_CONFIG_HOME");
  return home.empty() ? Environment("HOME") + "/.config" : home;
}

std::string SettingsStoreDirectory() {
  std::string directory = Environment("VELLOMAR_REGISTRY");
  return directory.empty() ? ConfigHome() + "/vellomar" : directory;
}

std::string RegistryKey::FilePath() const {
  return SettingsStoreDirectory() + (root_ == RegistryRoot::LocalMachine ? "/HKEY_LOCAL_MACHINE.ini"
                                                                         : "/HKEY_CURRENT_USER.ini");
}

std::string RegistryKey::Read(const std::string& name) const {
  std::string path = FilePath();
  std::optional<StoreFile> file = Load(path);
  if (!file) return "";
  if (!file->HasKey(path_)) {
    file->AddKey(path_);
    Save(path, *file);
  }
  return file->Get(path_, name).value_or("");
}

void RegistryKey::Write(const std::string& name, const std::string& text) const {
  std::string path = FilePath();
  std::optional<StoreFile> file = Load(path);
  if (!file) return;
  file->Set(path_, name, text);
  Save(path, *file);
}

std::vector<std::string> RegistryKey::SubkeyNames() const {
  std::optional<StoreFile> file = Load(FilePath());
  return file ? file->SubkeysOf(path_) : std::vector<std::string>{};
}

void RegistryKey::Remove() const {
  std::string path = FilePath();
  std::optional<StoreFile> file = Load(path);
  if (!file || !file->HasKey(path_)) return;
  file->RemoveKey(path_);
  Save(path, *file);
}

std::string UnreadableStoreFile() {
  std::string path = RegistryKey(RegistryRoot::LocalMachine, "").FilePath();
  auto content = ReadWholeFile(path, kMaxStoreFileSize);
  if (content || content.error() == ENOENT || content.error() == EFBIG) return "";
  return path + ": " + SystemErrorText(content.failure());
}

std::string OversizedStoreFile() {
  for (RegistryRoot root : {RegistryRoot::LocalMachine, RegistryRoot::CurrentUser}) {
    std::string path = RegistryKey(root, "").FilePath();
    auto fd = OpenFile(path, O_RDONLY);
    if (!fd) continue;
    auto length = FileLength(fd.value().get());
    if (length && static_cast<uint64_t>(length.value()) > kMaxStoreFileSize) return path;
  }
  return "";
}

RegistryKey SettingsKey() { return RegistryKey(RegistryRoot::LocalMachine, "Software\\Vellomar"); }

RegistryKey AutostartKey() {
  return RegistryKey(RegistryRoot::CurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Run");
}

}  // namespace vellomar
