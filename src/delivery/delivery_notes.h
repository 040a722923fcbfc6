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

// A fault's log line as a reason of its own: without its "Error : " mark.
std::string WithoutErrorMark(const std::string& logLine);

}  // namespace vellomar
