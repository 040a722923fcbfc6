#pragma once

#include "smtp_server/server_session.h"

namespace vellomar {

// The spool file of the message a session is receiving, as a transaction: created under a
// reserved name, rolled back to its HELO line by RSET or a new HELO, committed at the end of its data, or
// dropped with the file when the session ends first. Once committed, the file is the
// delivery side's: nothing the session does afterwards touches it.
//
// Lock contract: takes QueueLock and IncomingLock itself, one at a time, never across a file
// or network operation; the caller holds neither.

// Creates the file under the session's reserved name, exclusively: the name was checked free
// under QueueLock, so a file already there belongs to someone else. On failure the system's
// text is shown and logged, and the caller answers 421.
bool CreateMessageFile(SessionRun& run);
// After a committed message: reserves a new name, moves the connection's registry entry to
// it, creates the file and writes the session's HELO line into it. The summary starts afresh.
// False when the file cannot be created (the farewell is then kCannotStore) or written
// (StorageFault sent).
bool StartNextMessage(SessionRun& run);
// Drops the open transaction: the file, when the session has one, holds the connection's
// current HELO line alone, and the summary starts afresh.
bool ResetMessage(SessionRun& run);
// The successful end of a message: closes the stored dialogue with its QUIT line, puts the
// file on stable storage and closes it, counts it, releases its name for delivery and, when
// that went well, wakes the dispatcher. Only then may "250 Ok" go out.
bool CommitMessage(SessionRun& run);
// Appends to the spool file; on failure answers as StorageFault does and returns false.
bool AppendOrFault(SessionRun& run, std::string_view data);
// Logs a failed write of the spool file, answers "452 4.3.1 Insufficient system storage" and
// makes kCannotStore the session's farewell.
void StorageFault(SessionRun& run, SystemError error);

}  // namespace vellomar
