#pragma once

#include <string_view>

#include "common/ip_address.h"

namespace vellomar {

struct Settings;

// What the policy says at one step of a client's dialogue.
struct PolicyAnswer {
  // The reply that refuses, CR LF included; empty when the client may go on.
  std::string_view refusal;

  bool allowed() const { return refusal.empty(); }
};

// Who may relay through this listener: one client's policy, made when it connects from the
// settings of that moment and its address, and asked at each step that may refuse it: at
// connect, before anything is reserved for the client, then at every MAIL and RCPT. A refusal
// at connect ends the connection; one at MAIL or RCPT answers that command alone.
//
// A client whose address is in `Allow` relays; any other is refused at connect with
// "554 5.7.1 Access denied". MAIL and RCPT are not restricted further.
//
// A value owned by the client's session; no lock.
class RelayPolicy {
 public:
  RelayPolicy(const Settings& settings, const IpAddress& client);

  PolicyAnswer AtConnect() const;
  PolicyAnswer AtMail() const;
  PolicyAnswer AtRcpt() const;
  // A client on this machine itself: a bare name it sends (a local user, "root") is resolved
  // as the machine's own programs' mail is, through the aliases and the local domain.
  bool LocalNamesApply() const { return loopback_; }

 private:
  bool inAllow_;
  bool loopback_;
};

}  // namespace vellomar
