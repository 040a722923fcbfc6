#include "control/account_store.h"

#include <algorithm>
#include <cctype>

#include "common/settings_table.h"
#include "common/text.h"

namespace vellomar {

namespace {

constexpr size_t kLongestName = 100;

bool IsNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_' || c == '@';
}

AccountSummary SummaryOf(const std::string& name, const RegistryKey& key) {
  // The list's way out: an account through Graph has no next relay to show.
  std::string wayOut = key.Read(KeyOf(&Settings::SMTP));
  if (EqualsIgnoreCase(key.Read(KeyOf(&Settings::Transport)), "graph")) wayOut = "Microsoft Graph";
  return AccountSummary{name, wayOut, key.Read(KeyOf(&Settings::SMTP_User)), key.Read(KeyOf(&Settings::Senders))};
}

}  // namespace

std::vector<std::string> StoredAccountNames(const RegistryKey& key) {
  std::vector<std::string> names = key.Subkey(kAccountsSection).SubkeyNames();
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

RegistryKey AccountKey(const std::string& name) {
  return name == kDefaultAccountName ? SettingsKey() : SettingsKey().Subkey(kAccountsSection).Subkey(name);
}

std::vector<AccountSummary> ReadAccountSummaries() {
  std::vector<AccountSummary> accounts{SummaryOf(kDefaultAccountName, SettingsKey())};
  for (const std::string& name : StoredAccountNames(SettingsKey())) accounts.push_back(SummaryOf(name, AccountKey(name)));
  return accounts;
}

std::string NewAccountNameProblem(const std::string& name) {
  if (name.empty()) return "An account needs a name.";
  if (name.size() > kLongestName || !std::all_of(name.begin(), name.end(), IsNameCharacter)) {
    return "A name is up to 100 letters, digits, '.', '-', '_' and '@'.";
  }
  if (EqualsIgnoreCase(name, kDefaultAccountName)) return "\"default\" is the name of the default account.";
  for (const std::string& stored : StoredAccountNames(SettingsKey())) {
    if (EqualsIgnoreCase(stored, name)) return "There is an account named " + stored + " already.";
  }
  return "";
}

void RemoveAccount(const std::string& name) {
  if (name != kDefaultAccountName) AccountKey(name).Remove();
}

}  // namespace vellomar
