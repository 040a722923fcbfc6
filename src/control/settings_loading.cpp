#include "control/settings_loading.h"

#include "control/account_store.h"
#include "control/registry_key.h"
#include "platform/file_system.h"

namespace vellomar {

namespace {

bool HoldsSecrets(const Settings& settings) {
  return !settings.SMTP_Password.empty() || !settings.SMTP_OAuthClientSecret.empty();
}

std::vector<std::string> ReadRows(const RegistryKey& key, Settings& settings, bool relayOnly, bool accountOnly) {
  std::vector<std::string> problems;
  for (const SettingRow& row : SettingRows()) {
    if (relayOnly && row.reload != SettingReload::WithRelay) continue;
    if (accountOnly && !IsAccountValue(row)) continue;
    SettingReading reading = ApplySetting(row, key.Read(std::string(row.key)), settings);
    if (!reading.usable && row.writtenBack) key.Write(std::string(row.key), std::string(row.defaultText));
    problems.insert(problems.end(), reading.problems.begin(), reading.problems.end());
  }
  // Every write of the store makes it the user's alone; a store edited by hand may not be.
  if (HoldsSecrets(settings)) (void)SetFileMode(key.FilePath(), 0600);  // the store stays usable either way
  return problems;
}

// Each account section over the relay's own values: what the section does not set is the
// account default, never the default account's value (another provider's login must not
// leak into it).
std::vector<Account> ReadAccounts(const RegistryKey& key, const Settings& settings) {
  std::vector<Account> accounts;
  for (const std::string& name : StoredAccountNames(key)) {
    auto values = std::make_shared<Settings>(settings);
    values->Accounts.clear();
    // An unusable value falls back to its default unlogged: the dialog stores only usable ones.
    (void)ReadRows(key.Subkey(kAccountsSection).Subkey(name), *values, false, true);
    accounts.push_back(Account{name, std::move(values)});
  }
  return accounts;
}

}  // namespace

LoadedSettings LoadSettings(const RegistryKey& key) {
  LoadedSettings loaded;
  // Unread, every value would pass for unset: the relay would start with no next relay and the
  // defaults, and only this line says why.
  if (std::string why = UnreadableStoreFile(); !why.empty()) {
    loaded.problems.push_back("Error : can't read the settings in " + why);
  }
  std::vector<std::string> problems = ReadRows(key, loaded.settings, false, false);
  loaded.problems.insert(loaded.problems.end(), problems.begin(), problems.end());
  loaded.settings.Accounts = ReadAccounts(key, loaded.settings);
  return loaded;
}

Settings ReloadRelaySettings(const RegistryKey& key, const Settings& current) {
  Settings settings = current;
  (void)ReadRows(key, settings, true, false);  // the relay's values have no problem lines of their own
  settings.Accounts = ReadAccounts(key, settings);
  return settings;
}

}  // namespace vellomar
