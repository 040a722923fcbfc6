#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vellomar {

enum class RegistryRoot { LocalMachine, CurrentUser };

// The folder of the settings store: $VELLOMAR_REGISTRY, else ${XDG_CONFIG_HOME:-$HOME/.config}/vellomar.
std::string SettingsStoreDirectory();
// ${XDG_CONFIG_HOME:-$HOME/.config}
std::string ConfigHome();

// One key of the settings store: a section of the root's file. Nothing stays open between
// calls; every Write replaces the file atomically, so another reader never sees a part of
// it. Used on the window's thread (and by tests), one call at a time.
class RegistryKey {
 public:
  RegistryKey(RegistryRoot root, std::string path) : root_(root), path_(std::move(path)) {}

  // The value's text, "" when it does not exist or the store cannot be read. A key that
  // does not exist is created.
  std::string Read(const std::string& name) const;
  // Failures are silent, as the dialogs expect.
  void Write(const std::string& name, const std::string& text) const;

  std::string FilePath() const;
  const std::string& path() const { return path_; }

  // The key one level below this one, and the names of those that exist, in the store's order.
  RegistryKey Subkey(const std::string& name) const { return RegistryKey(root_, path_ + "\\" + name); }
  std::vector<std::string> SubkeyNames() const;
  // The key and its values go; failures are silent, as for Write.
  void Remove() const;

 private:
  RegistryRoot root_;
  std::string path_;
};

// A store file longer than this is no settings store (a few hundred bytes are): it is never
// read into memory, and the program refuses to start with it.
constexpr size_t kMaxStoreFileSize = 1024 * 1024;
// The path of the first store file longer than kMaxStoreFileSize, or "" when none is.
std::string OversizedStoreFile();
// Why the relay settings' store file exists but cannot be read ("<path>: <system text>"), or ""
// when it can be or is missing. Its values then read as empty, and nothing is written to it.
std::string UnreadableStoreFile();

// The two keys the program uses.
RegistryKey SettingsKey();
RegistryKey AutostartKey();
constexpr const char* kAutostartValue = "Vellomar";

}  // namespace vellomar
