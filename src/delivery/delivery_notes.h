#pragma once

#include <string>

namespace vellomar {

class RelayServices;

// What delivery tells the retry schedule of its relay's queue list.

// Keeps `error` as the last one seen for the recipient of `recipientLine` in the spool file.
void NoteDeliveryError(RelayServices& relay, const std::string& spoolName, const std::string& recipientLine,
                       const std::string& error);
// The last error kept for that recipient; "" when none is known.
std::string LastDeliveryError(RelayServices& relay, const std::string& spoolName, const std::string& recipientLine);
// A try of the spool file ended with recipients still pending: the next waits its interval, and
// the client timer looks at the schedule again.
void RecordDeliveryTry(RelayServices& relay, const std::string& spoolName);

// What delivery tells the people watching the relay (the desktop's notifications and
// `vellomar --status`), through RelayServices::ReportEvent; the account is the one that sends
// the spool file. Called holding none of the relay's locks.
// The next server took recipients of the spool file.
void NoteDelivered(RelayServices& relay, const std::string& spoolName);
// The recipient was given up for `reason` (its sender's notice queued).
void NoteGivenUp(RelayServices& relay, const std::string& spoolName, const std::string& recipientLine,
                 const std::string& reason);
// The next relay `server` refused the login; `logLine` says how.
void NoteLoginRefused(RelayServices& relay, const std::string& spoolName, const std::string& server,
                      const std::string& logLine);

// A fault's log line as a reason of its own: without its "Error : " mark.
std::string WithoutErrorMark(const std::string& logLine);

}  // namespace vellomar
