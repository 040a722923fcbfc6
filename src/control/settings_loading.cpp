#include "control/settings_loading.h"

#include "common/text.h"
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

// Why a stored section cannot be an account, or "": the default account's name, or one that
// only letter case tells from an account read before it. Either would share that account's
// kept sessions and pace, and send its mail logged in as the other.
std::string RefusedAccountName(const std::string& name, const std::vector<Account>& read) {
  if (EqualsIgnoreCase(name, kDefaultAccountName)) return "\"default\" is the name of the default account";
  for (const Account& earlier : read) {
    if (EqualsIgnoreCase(earlier.name, name)) return "there is an account named " + earlier.name + " already";
  }
  return "";
}

// Each account section over the relay's own values: what the section does not set is the
// account default, never the default account's value (another provider's login must not
// leak into it).
std::vector<Account> ReadAccounts(const RegistryKey& key, const Settings& settings, std::vector<std::string>& problems) {
  std::vector<Account> accounts;
  for (const std::string& name : StoredAccountNames(key)) {
    if (std::string why = RefusedAccountName(name, accounts); !why.empty()) {
      problems.push_back("Error : account " + name + " not used: " + why);
      continue;
    }
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
  loaded.settings.Accounts = ReadAccounts(key, loaded.settings, loaded.problems);
  return loaded;
}

Settings ReloadRelaySettings(const RegistryKey& key, const Settings& current, std::vector<std::string>* problems) {
  Settings settings = current;
  (void)ReadRows(key, settings, true, false);  // the relay's values have no problem lines of their own
  std::vector<std::string> refused;
  settings.Accounts = ReadAccounts(key, settings, refused);
  if (problems != nullptr) problems->insert(problems->end(), refused.begin(), refused.end());
  return settings;
}

}  // namespace vellomar
