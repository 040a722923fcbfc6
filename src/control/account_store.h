#pragma once

#include <string>
#include <vector>

#include "control/registry_key.h"

namespace vellomar {

// The store key below the main one that holds one section per account besides the default.
constexpr const char* kAccountsSection = "Accounts";
// What people call the account whose values are the main key's own.
constexpr const char* kDefaultAccountName = "default";

// The accounts' section names under `key`, in the order the relay reads them (bytewise, once
// each): the order in which an equal match of the senders goes to the first.
std::vector<std::string> StoredAccountNames(const RegistryKey& key);
// The section of an account; the main key itself for the default account.
RegistryKey AccountKey(const std::string& name);

// What the Accounts dialog lists of one account.
struct AccountSummary {
  std::string name;
  std::string nextRelay;
  std::string user;
  std::string senders;
};
// The default account first, then every stored section.
std::vector<AccountSummary> ReadAccountSummaries();

// Why `name` cannot name a new account, or "" when it can: a section name is letters, digits
// and ". - _ @" (so that it stays one store header and reads well in the log), not "default"
// and not an existing account's, letter case ignored (two names apart only by case would be
// taken for one by people).
std::string NewAccountNameProblem(const std::string& name);
// The account's section goes with its values; the default account cannot go.
void RemoveAccount(const std::string& name);

}  // namespace vellomar
