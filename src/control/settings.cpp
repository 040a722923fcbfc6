#include "control/settings.h"

#include "control/registry_key.h"
#include "platform/file_system.h"

namespace vellomar {

namespace {

std::vector<std::string> ReadRows(const RegistryKey& key, Settings& settings, bool relayOnly) {
  std::vector<std::string> problems;
  for (const SettingRow& row : SettingRows()) {
    if (relayOnly && row.reload != SettingReload::WithRelay) continue;
    SettingReading reading = ApplySetting(row, key.Read(std::string(row.key)), settings);
    if (!reading.usable && row.writtenBack) key.Write(std::string(row.key), std::string(row.defaultText));
    problems.insert(problems.end(), reading.problems.begin(), reading.problems.end());
  }
  // Every write of the store makes it the user's alone; a store edited by hand may not be.
  if (!settings.SMTP_Password.empty() || !settings.SMTP_OAuthClientSecret.empty()) {
    (void)SetFileMode(key.FilePath(), 0600);  // the store stays usable either way
  }
  return problems;
}

}  // namespace

LoadedSettings LoadSettings(const RegistryKey& key) {
  LoadedSettings loaded;
  // Unread, every value would pass for unset: the relay would start with no next relay and the
  // defaults, and only this line says why.
  if (std::string why = UnreadableStoreFile(); !why.empty()) {
    loaded.problems.push_back("Error : can't read the settings in " + why);
  }
  std::vector<std::string> problems = ReadRows(key, loaded.settings, false);
  loaded.problems.insert(loaded.problems.end(), problems.begin(), problems.end());
  return loaded;
}

Settings ReloadRelaySettings(const RegistryKey& key, const Settings& current) {
  Settings settings = current;
  (void)ReadRows(key, settings, true);  // the relay's values have no problem lines of their own
  return settings;
}

}  // namespace vellomar
