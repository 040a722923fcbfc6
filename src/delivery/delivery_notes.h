#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace vellomar {

// What delivery tells the retry schedule of the queue list. Each takes QueueLock for its
// own moment; the caller holds no lock.

// Keeps `error` as the last one seen for the recipient of `recipientLine` in the spool file.
void NoteDeliveryError(const std::string& spoolName, const std::string& recipientLine, const std::string& error);
// The last error kept for that recipient; "" when none is known.
std::string LastDeliveryError(const std::string& spoolName, const std::string& recipientLine);
// A try of the spool file ended with recipients still pending: the next waits its interval.
void RecordDeliveryTry(const std::string& spoolName);
// Deliver now: every waiting file is due at once.
void MakeEveryFileDue();
// How long until the first file that waits for its time is due; none when no file waits so.
std::optional<std::chrono::milliseconds> UntilNextTry();

class WakeEvent;
// Notified whenever a try is recorded, so that the client timer looks at the schedule again.
WakeEvent& TryRecorded();

}  // namespace vellomar
