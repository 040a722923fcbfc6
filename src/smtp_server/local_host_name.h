#pragma once

#include "common/shared_text.h"

namespace vellomar {

// The host name every trace header names: set by each listener as it starts, read by the
// sessions of this and earlier listeners.
extern SharedText localHostName;

// The official name the resolver gives for "localhost", else the machine's own host name.
std::string LookUpLocalHostName();

}  // namespace vellomar
