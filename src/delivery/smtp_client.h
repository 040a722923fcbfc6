#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace vellomar {

class RelayServices;
class SpoolFile;
struct Hop;
struct Route;
struct Settings;

// What one hop of a recipient's route came to.
struct HopOutcome {
  enum class Kind {
    Settled,   // this hop decided the attempt (whatever the recipient's letter now says)
    PassedOn,  // nothing recorded: the route's next hop takes the recipient
  };
  Kind kind;
  // Settled: the caller may go on from the file's position (the next line is a pending
  // recipient, or a stop or flush was seen); false when its run should end with the final scan.
  bool goOn;
};

// One attempt to deliver one recipient of a spool file through one hop of its route: connects
// to the hop's server, opens the session as the hop's security asks, replays the stored
// dialogue with the recipients zone replaced by this one recipient line, reads a whole reply
// after each command, and records the recipient's fate in its state letter. Leaves the file
// just after the recipient line when it rewrote the letter. With `fallbackFollows`, a server
// that cannot be reached or refuses the recipient with 550 or 554 passes it on to the next hop
// instead. Reads no settings of its own: `settings` is the delivery's snapshot.
HopOutcome DeliverRecipient(RelayServices& relay, const Settings& settings, SpoolFile& file,
                            const std::string& spoolName, const Hop& hop, const std::string& recipientLine,
                            off_t position, bool fallbackFollows);

// Each hop of the route in turn until one settles the attempt, "Warning : Using alternative
// SMTP server for email :<spool name>" in the log before each later one. True when the caller
// may go on from the file's position; false when its run should end (an empty route makes no
// attempt).
bool DeliverAlongRoute(RelayServices& relay, const Settings& settings, SpoolFile& file, const std::string& spoolName,
                       const Route& route, const std::string& recipientLine, off_t position);

// Records a recipient's new state letter (synced) and tells whether the next line is another
// pending recipient. A letter that cannot be written is logged and ends the run (false); the
// file then reports WriteFailed, and the worker holds it as it is.
bool RecordRecipientState(RelayServices& relay, SpoolFile& file, const std::string& spoolName, off_t position,
                          char letter);

}  // namespace vellomar
