#pragma once

#include <string>

namespace vellomar {

class RelayServices;

// Failure notices that a crash left between their writing and their queuing: a file named
// by a notice's stem ("953", "953_0": digits, maybe an underscore and digits, no extension)
// whose first line is the template's first line, or which is empty. A complete one (its
// last line is the QUIT line) is queued under a free ".tml" name, an incomplete one removed;
// both are logged. Nothing else in the folder is touched. Run at start-up, before the
// server and the client start.
void QueueLeftoverNotices(RelayServices& relay);

// The notice-stem rule alone, for the start-up scan and its tests.
bool IsNoticeStem(const std::string& name);

}  // namespace vellomar
