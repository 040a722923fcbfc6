#pragma once

#include <string>

namespace vellomar {

// Something that happened to the relay that its people want to hear of beyond the log line it
// already has: the desktop's notifications show some of them, and `vellomar --status` tells
// the last of each kind per account. The relay's threads make one and hand it on without
// waiting for anybody.
struct RelayEvent {
  enum class Kind {
    Delivered,      // a recipient taken by the next server
    Failed,         // a try that left a recipient pending: `reason` is its last error
    GivenUp,        // a recipient given up (its sender's notice queued): `subject` is the address
    SignInNeeded,   // the account's sign-in expired or its credentials were refused
    LoginRefused,   // the next relay refused the account's login: `subject` is the server
    SpoolTrouble,   // a spool file could not be created or written (disk full, folder unwritable)
    MailWaiting,    // `count` messages passed an hour of waiting
  };
  Kind kind = Kind::Failed;
  // The account the event belongs to ("default" or a section's name); empty when the relay is
  // to find it from `spoolName`'s sender, and for what belongs to no account (the spool).
  std::string account{};
  // The spool file the event is about, when it is about one.
  std::string spoolName{};
  std::string subject{};
  std::string reason{};
  // For SignInNeeded: the key the sign-in is kept under, for a "Sign in..." action.
  std::string signIn{};
  int count = 1;
};

// Whether the desktop's notifications show events of this kind.
inline bool IsNotified(RelayEvent::Kind kind) {
  return kind != RelayEvent::Kind::Delivered && kind != RelayEvent::Kind::Failed;
}

}  // namespace vellomar
