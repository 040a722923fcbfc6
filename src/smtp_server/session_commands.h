#pragma once

#include <string>

#include "smtp_server/server_session.h"

namespace vellomar {

enum class CommandOutcome { Continue, Failed, Quit };

// Acts on one command line as the command table says: the handler when the word is accepted
// in the current state, the state that follows, and the replies that precede a failed end.
CommandOutcome DispatchCommand(SessionRun& run, const std::string& line);

}  // namespace vellomar
