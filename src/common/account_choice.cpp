#include "common/account_choice.h"

#include "common/text.h"

namespace vellomar {

namespace {

enum class Match { None, Domain, Exact };

std::string_view WithoutBrackets(std::string_view address) {
  while (!address.empty() && (address.front() == '<' || address.front() == ' ')) address.remove_prefix(1);
  size_t end = address.find_first_of(">\r\n ");
  return end == std::string_view::npos ? address : address.substr(0, end);
}

// How well one pattern of a `Senders` list ("a@b.example", "*@b.example" or "@b.example") takes
// the address. Letter case is ignored in the whole address: mailboxes that differ only in case
// are one mailbox at every provider that matters here.
Match MatchOf(std::string_view pattern, std::string_view address) {
  if (pattern.starts_with('*')) pattern.remove_prefix(1);
  if (pattern.starts_with('@')) {
    size_t at = address.rfind('@');
    return at != std::string_view::npos && EqualsIgnoreCase(address.substr(at), pattern) ? Match::Domain
                                                                                       : Match::None;
  }
  return EqualsIgnoreCase(pattern, address) ? Match::Exact : Match::None;
}

Match BestMatch(const std::string& senders, std::string_view address) {
  Match best = Match::None;
  size_t start = 0;
  while (start < senders.size()) {
    size_t end = senders.find_first_of(" \t,;", start);
    if (end == std::string::npos) end = senders.size();
    if (end > start) best = std::max(best, MatchOf(std::string_view(senders).substr(start, end - start), address));
    start = end + 1;
  }
  return best;
}

}  // namespace

const Account* AccountFor(const Settings& settings, std::string_view sender) {
  std::string_view address = WithoutBrackets(sender);
  // True relaying goes to each recipient's exchangers, where no account logs in.
  if (address.empty() || settings.REAL_RELAY) return nullptr;
  const Account* chosen = nullptr;
  Match chosenMatch = Match::None;
  // Accounts come in name order: a later one wins only with a better match.
  for (const Account& account : settings.Accounts) {
    Match match = BestMatch(account.values->Senders, address);
    if (match > chosenMatch) {
      chosen = &account;
      chosenMatch = match;
    }
  }
  return chosen;
}

const Settings& AccountSettingsFor(const Settings& settings, std::string_view sender) {
  const Account* account = AccountFor(settings, sender);
  return account != nullptr ? *account->values : settings;
}

std::string AccountLabel(const Account* account) { return account != nullptr ? account->name : "default"; }

}  // namespace vellomar
