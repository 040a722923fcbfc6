#include "common/local_names.h"

#include <algorithm>

#include "common/address_list.h"
#include "common/settings.h"
#include "common/text.h"
#include "platform/socket.h"

namespace vellomar {

namespace {

class Expansion {
 public:
  Expansion(const AliasTable& aliases, const LocalNameRules& rules) : aliases_(aliases), rules_(rules) {}

  // False, with the refusal set, when the aliases loop or nest too deep from `name`.
  bool Expand(const std::string& name, std::vector<std::string>& path) {
    const std::vector<std::string>* targets = aliases_.Find(name);
    if (targets == nullptr) return Leftover(name);
    if (path.size() >= static_cast<size_t>(kMaxAliasDepth)) {
      result.refusal = "aliases nested deeper than " + std::to_string(kMaxAliasDepth) + " at " + name;
      return false;
    }
    path.push_back(name);
    for (const std::string& target : *targets) {
      if (!IsLocalAddress(target, rules_.localDomain)) {
        Add(target);
        continue;
      }
      std::string next(LocalPart(target));
      if (EqualsIgnoreCase(next, name)) {
        if (!Leftover(next)) return false;
      } else if (std::any_of(path.begin(), path.end(), [&](const std::string& seen) { return EqualsIgnoreCase(seen, next); })) {
        std::string loop;
        for (const std::string& step : path) loop += step + " -> ";
        result.refusal = "alias loop: " + loop + next;
        return false;
      } else if (!Expand(next, path)) {
        return false;
      }
    }
    path.pop_back();
    return true;
  }

  Resolution result;

 private:
  bool Leftover(const std::string& name) {
    Add(rules_.adminAddress.empty() ? name + "@" + rules_.localDomain : rules_.adminAddress);
    return true;
  }
  void Add(const std::string& address) {
    bool seen = std::any_of(result.addresses.begin(), result.addresses.end(),
                            [&](const std::string& known) { return EqualsIgnoreCase(known, address); });
    if (!seen) result.addresses.push_back(address);
  }

  const AliasTable& aliases_;
  const LocalNameRules& rules_;
};

}  // namespace

bool IsLocalAddress(std::string_view address, std::string_view localDomain) {
  if (address.empty()) return false;
  if (address.front() == '"') return address.find('@', address.rfind('"')) == std::string_view::npos;
  std::string_view domain = DomainOf(address);
  return address.find('@') == std::string_view::npos || (!localDomain.empty() && EqualsIgnoreCase(domain, localDomain));
}

Resolution ResolveRecipient(std::string_view address, const AliasTable& aliases, const LocalNameRules& rules) {
  if (!IsLocalAddress(address, rules.localDomain)) return Resolution{{std::string(address)}, ""};
  Expansion expansion(aliases, rules);
  std::vector<std::string> path;
  if (!expansion.Expand(std::string(LocalPart(address)), path)) expansion.result.addresses.clear();
  return expansion.result;
}

std::string ResolveSender(std::string_view address, const LocalNameRules& rules) {
  if (address.empty() || !IsLocalAddress(address, rules.localDomain)) return std::string(address);
  if (!rules.localSender.empty()) return rules.localSender;
  if (address.find('@') == std::string_view::npos) return std::string(address) + "@" + rules.localDomain;
  return std::string(address);
}

bool LocalNamesConfigured(const Settings& settings) {
  return !settings.Aliases.empty() || !settings.AdminAddress.empty() || !settings.LocalDomain.empty() ||
         !settings.LocalSender.empty();
}

LocalNameRules LocalNames::RulesFor(const Settings& settings) {
  return {settings.LocalDomain.empty() ? MachineDomain() : settings.LocalDomain, settings.AdminAddress,
          settings.LocalSender};
}

std::shared_ptr<const AliasTable> LocalNames::AliasesFor(const Settings& settings) {
  bool fresh = false;
  auto table = aliases_.Current(settings.Aliases.empty() ? kSystemAliases : settings.Aliases, &fresh);
  if (fresh && !table->problems.empty()) {
    std::lock_guard<std::mutex> guard(lock_);
    problems_.insert(problems_.end(), table->problems.begin(), table->problems.end());
  }
  return table;
}

Resolution LocalNames::Recipient(const Settings& settings, std::string_view address) {
  return ResolveRecipient(address, *AliasesFor(settings), RulesFor(settings));
}

std::string LocalNames::Sender(const Settings& settings, std::string_view address) {
  return ResolveSender(address, RulesFor(settings));
}

std::vector<std::string> LocalNames::TakeProblems() {
  std::lock_guard<std::mutex> guard(lock_);
  return std::move(problems_);
}

std::string LocalNames::MachineDomain() {
  std::lock_guard<std::mutex> guard(lock_);
  if (machineDomain_.empty()) machineDomain_ = MachineFullName();
  return machineDomain_;
}

std::string MachineFullName() {
  auto host = MachineHostName();
  if (!host || host.value().empty()) return "localhost";
  auto full = CanonicalHostName(host.value());
  if (full && full.value().find('.') != std::string::npos) return full.value();
  return host.value();
}

}  // namespace vellomar
