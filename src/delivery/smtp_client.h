#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace vellomar {

class RelayServices;
class SpoolFile;
struct Settings;

// One attempt to deliver one recipient of a spool file: connects to `server` ("host" or
// "host:port"), replays the stored dialogue with the recipients zone replaced by this one
// recipient line, reads a whole reply after each command, and records the recipient's fate
// in its state letter. Leaves the file just after the recipient line when it rewrote the
// letter. True when the caller may go on from there (the next line is a pending recipient,
// or a stop or flush was seen); false when its run should end with the final scan.
bool DeliverRecipient(RelayServices& relay, const Settings& settings, SpoolFile& file, const std::string& spoolName,
                      const std::string& mailLine, const std::string& server, const std::string& recipientLine,
                      off_t position);

// Records a recipient's new state letter (synced) and tells whether the next line is another
// pending recipient. A letter that cannot be written is logged and ends the run (false); the
// file then reports WriteFailed, and the worker holds it as it is.
bool RecordRecipientState(RelayServices& relay, SpoolFile& file, const std::string& spoolName, off_t position,
                          char letter);

}  // namespace vellomar
