#pragma once

#include <string>
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

// What the listener knows of a client as it connects, beyond its address.
struct ConnectFacts {
  // A login can be made on the port it came in on: users exist, and the port has TLS (or
  // AuthInClear allows a login without it).
  bool loginPossible = false;
  // Its address failed to log in too often lately.
  bool blocked = false;
};

// Who may relay through this listener: one client's policy, made when it connects from the
// settings of that moment, its address and what the listener knows of it, and asked at each
// step that may refuse it: at connect, before anything is reserved for the client, then at
// AUTH, MAIL and RCPT. A refusal at connect ends the connection; a later one answers that
// command alone. The session tells it when TLS starts and who logged in.
//
// - At connect: an address that failed to log in too often lately is refused ("421 4.7.0").
//   A client whose address is in `Allow` goes on. Any other is refused ("554 5.7.1 Access
//   denied"), unless a login is possible on its port and RequireAuth is off: it may then log
//   in, and relay once it has. With RequireAuth, `Allow` says who may connect at all.
// - AUTH: under TLS, or with AuthInClear, or from this machine (loopback); once per session.
// - MAIL: a client that logged in goes on; without a login, "530 5.7.0 Authentication
//   required" when RequireAuth is set or the address is not in `Allow`.
// - RCPT: not restricted further.
//
// A value owned by the client's session; no lock.
class RelayPolicy {
 public:
  RelayPolicy(const Settings& settings, const IpAddress& client, ConnectFacts facts = {});

  PolicyAnswer AtConnect() const;
  PolicyAnswer AtAuth() const;
  PolicyAnswer AtMail() const;
  PolicyAnswer AtRcpt() const;
  // A client on this machine itself: a bare name it sends (a local user, "root") is resolved
  // as the machine's own programs' mail is, through the aliases and the local domain.
  bool LocalNamesApply() const { return loopback_; }

  // Whether AUTH would be taken now: what the EHLO reply offers.
  bool MayLogIn() const { return user_.empty() && (encrypted_ || authInClear_ || loopback_); }
  // TLS begins the dialogue afresh: a login made before it is forgotten with everything else
  // the client said in the clear (RFC 3207, 4.2), and must be made again under TLS.
  void TlsStarted() {
    encrypted_ = true;
    user_.clear();
  }
  void LoggedIn(std::string user) { user_ = std::move(user); }
  // Who logged in; empty before a login.
  const std::string& user() const { return user_; }
  const IpAddress& client() const { return client_; }

 private:
  IpAddress client_;
  ConnectFacts facts_;
  bool inAllow_;
  bool loopback_;
  bool requireAuth_;
  bool authInClear_;
  bool encrypted_ = false;
  std::string user_;
};

}  // namespace vellomar
