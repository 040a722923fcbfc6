#pragma once

#include <string>

#include "smtp_server/server_session.h"

namespace vellomar {

// Acts on one command line as the command table says: the handler when its verb is accepted
// in the current state, else the reply that refuses it; Failed when the session must end.
CommandOutcome DispatchCommand(SessionRun& run, const std::string& line);

}  // namespace vellomar
