#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/aliases.h"

namespace vellomar {

struct Settings;

// What makes a name local and where local names go, from the settings.
struct LocalNameRules {
  // `LocalDomain`, or this machine's fully qualified name.
  std::string localDomain;
  // `AdminAddress`: where every local name that no alias takes goes; empty: name@localDomain.
  std::string adminAddress;
  // `LocalSender`: the sender a provider accepts, in place of a local one; empty: none.
  std::string localSender;
};

// Whether the user has set any of Aliases, AdminAddress, LocalDomain and LocalSender. Until
// then mail from SMTP clients (and the notices about it) keeps the addresses it was given,
// as it always did; mail from vellomar-sendmail always has its local names resolved.
bool LocalNamesConfigured(const Settings& settings);

// A local address: a bare name ("root"), or one at the local domain ("root@mypc.example").
// No provider knows either, so they are resolved here before anything leaves the machine.
bool IsLocalAddress(std::string_view address, std::string_view localDomain);

// Where a recipient goes. A local one is looked up in the aliases, each target in turn (a
// local target is looked up again, down to kMaxAliasDepth), and a local name no alias takes
// goes to the admin address, or gets the local domain. An alias that names itself stands for
// the local name itself ("jane: jane, jane@provider.example"). The addresses come once each,
// in the order found. `refusal` is set, and nothing else, when the aliases loop or nest
// deeper than the bound: the recipient cannot be served as the aliases stand.
struct Resolution {
  std::vector<std::string> addresses;
  std::string refusal;
};
constexpr int kMaxAliasDepth = 10;
Resolution ResolveRecipient(std::string_view address, const AliasTable& aliases, const LocalNameRules& rules);

// The sender a message from a local user carries: a local sender (bare, or at the local
// domain) becomes `LocalSender` when that is set, else a bare one gets the local domain;
// any other sender, and the null sender (empty), stays as it is.
std::string ResolveSender(std::string_view address, const LocalNameRules& rules);

// The local names of one relay: the rules its settings give and the aliases they name
// (`Aliases`, else the system's /etc/aliases), read again when the file changes.
//
// Lock contract: its own lock, held only to compute the machine's name once and to take the
// problems; the alias file locks itself. Called from any thread.
class LocalNames {
 public:
  LocalNameRules RulesFor(const Settings& settings);
  std::shared_ptr<const AliasTable> AliasesFor(const Settings& settings);
  Resolution Recipient(const Settings& settings, std::string_view address);
  std::string Sender(const Settings& settings, std::string_view address);
  // The problems of an aliases file read since the last call, for the log.
  std::vector<std::string> TakeProblems();

 private:
  std::string MachineDomain();

  std::mutex lock_;
  std::string machineDomain_;
  std::vector<std::string> problems_;
  AliasFile aliases_;
};

// This machine's fully qualified name, as the resolver gives it for its host name; the bare
// host name when it knows no other, "localhost" without one.
std::string MachineFullName();

}  // namespace vellomar
