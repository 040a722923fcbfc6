#pragma once

#include <string>

namespace vellomar {

// The official name the resolver gives for "localhost", else the machine's own host name: the
// name trace headers give this machine.
std::string LookUpLocalHostName();

}  // namespace vellomar
