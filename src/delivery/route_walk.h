#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "delivery/transport.h"

namespace vellomar {

class OutcomeRecorder;
class RelayServices;
class SpoolFile;
struct Route;
struct Settings;

// How a walk along a route ended.
struct Walked {
  // A stop or a flush cut it short.
  bool stopped = false;
  // What the transports left open for the next message, to be let go once the file is settled.
  std::vector<std::function<void()>> releases;
};

// Carries the recipients along the route: each hop in turn, through the transport it names,
// with a warning in the log before each later one ("Warning : Using alternative SMTP server for
// email :<spool name>" before the alternate server, "Warning : Using next mail exchanger
// <server> for email :<spool name> (<why>)" before another exchanger). A hop passes a
// recipient on instead of settling it when it cannot be reached and another hop follows;
// an exchanger with another exchanger after it also for a temporary refusal or when it falls
// silent; and a 550 or 554 goes to the alternate server when the route ends with one. Every
// other outcome is recorded where it happened. A temporary refusal that passed a recipient on
// is recorded (the letter advances once, or the sixth gives it up) only when no later hop
// settled it. Recipients passed on together go on together. `settings` are the account's.
Walked WalkRoute(OutcomeRecorder& recorder, RelayServices& relay, const Settings& settings, SpoolFile& file,
                 const std::string& spoolName, const Route& route, const std::vector<PendingRecipient>& recipients);

// One recipient along its route, as the stored dialogue is replayed for each: true when the
// caller may go on from the file's position (the next line is a pending recipient, or a stop
// or flush was seen); false when its run should end with the final scan (an empty route
// makes no attempt). The file is left just after the recipient line when its letter changed.
bool DeliverAlongRoute(RelayServices& relay, const Settings& settings, SpoolFile& file, const std::string& spoolName,
                       const Route& route, const std::string& recipientLine, off_t position);

}  // namespace vellomar
