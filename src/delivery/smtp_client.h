#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket_address.h"

namespace vellomar {

class RelayServices;
class SpoolFile;
struct Hop;
struct Route;
struct Settings;

// What the route holds after the hop being tried, which decides what passes a recipient on
// instead of settling it there.
struct HopsAfter {
  bool any = false;        // a server that cannot be reached passes the recipient on
  bool exchanger = false;  // so do a 4xx reply and a server that falls silent: the next exchanger takes it
  bool alternate = false;  // a 550 or 554 reply passes it to the alternate server, past any exchanger
};

// A temporary refusal (a 4xx reply, or a reply that was none of those asked for) that passed
// a recipient on: what the letter records if no later hop delivers it.
struct PendingDeferral {
  std::string reason;  // the reply's text
  std::string sent;    // the line it answered
  bool fourXx = true;  // logged as "delayed (4xx STMP error)" under Logdel
};

// What one hop of a recipient's route came to.
struct HopOutcome {
  enum class Kind {
    Settled,    // this hop decided the attempt (whatever the recipient's letter now says)
    PassedOn,   // nothing recorded: a later hop takes the recipient
    Unreached,  // the server could not be reached or fell silent: logged, the letter untouched
  };
  Kind kind;
  // Settled: the caller may go on from the file's position (the next line is a pending
  // recipient, or a stop or flush was seen); false when its run should end with the final scan.
  bool goOn = false;
  // PassedOn: why, for the log ("can't connect to mx1.example", "mx1.example: 451 busy").
  std::string why{};
  // PassedOn after a 550 or 554: the alternate server is next, whatever exchangers follow.
  bool toAlternate = false;
  // PassedOn after a temporary refusal.
  std::optional<PendingDeferral> deferral{};
};

// One attempt to deliver one recipient of a spool file through one hop of its route: connects
// to the hop's server (each of its addresses in turn, see AddressRace), opens the session as
// the hop's security asks, replays the stored dialogue with the recipients zone replaced by
// this one recipient line, reads a whole reply after each command, and records the
// recipient's fate in its state letter. Leaves the file just after the recipient line when it
// rewrote the letter. What `after` holds decides which failures pass the recipient on instead.
// Reads no settings of its own: `settings` is the delivery's snapshot.
HopOutcome DeliverRecipient(RelayServices& relay, const Settings& settings, SpoolFile& file,
                            const std::string& spoolName, const Hop& hop, const std::string& recipientLine,
                            off_t position, const HopsAfter& after);

// Each hop of the route in turn until one settles the attempt, with a warning in the log
// before each later one: "Warning : Using alternative SMTP server for email :<spool name>"
// before the alternate server, "Warning : Using next mail exchanger <server> for email :<spool
// name> (<why>)" before another exchanger. A temporary refusal by an exchanger that passed the
// recipient on is recorded (the letter advances once, or the recipient is given up at the
// sixth) only when no later hop delivered or settled it. True when the caller may go on from
// the file's position; false when its run should end (an empty route makes no attempt).
bool DeliverAlongRoute(RelayServices& relay, const Settings& settings, SpoolFile& file, const std::string& spoolName,
                       const Route& route, const std::string& recipientLine, off_t position);

// Records a recipient's new state letter (synced) and tells whether the next line is another
// pending recipient. A letter that cannot be written is logged and ends the run (false); the
// file then reports WriteFailed, and the worker holds it as it is.
bool RecordRecipientState(RelayServices& relay, SpoolFile& file, const std::string& spoolName, off_t position,
                          char letter);

// Message data goes out in batches of about this size; the bytes on the wire are the same.
inline constexpr size_t kDataSendBatch = 64 * 1024;

// The stored MAIL line as it goes to a next relay: from `sendAs` when the account sends as
// that address, and with the parameters an EHLO reply offered (none after a HELO).
std::string OutgoingMailLine(std::string line, const std::string& sendAs, bool offers8BitMime, bool offersSize,
                             SpoolFile& file);

// A temporary failure recorded: the letter advances, and the sixth gives the recipient up
// (once its sender's notice is queued). As RecordRecipientState for the result.
bool RecordDeferral(RelayServices& relay, SpoolFile& file, const std::string& spoolName,
                    const std::string& recipientLine, off_t position, const PendingDeferral& deferral);

// The hop's server's addresses in the order they are tried: an exchanger's from Vellomar's own
// queries, sorted as the system would sort them; any other server's from the system's
// resolver, in its order; then the families interleaved.
std::vector<SocketAddress> HopAddresses(RelayServices& relay, const Settings& settings, const Hop& hop);

}  // namespace vellomar
