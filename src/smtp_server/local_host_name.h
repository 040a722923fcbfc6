#pragma once

#include <string>

namespace vellomar {

// The official name the resolver gives for "localhost", else the machine's own host name: the
// name trace headers give this machine.
std::string LookUpLocalHostName();
// The machine's own name (gethostname), as the resolver completes it, for the certificate
// the listener makes for itself; "localhost" when it has none.
std::string LookUpMachineName();

}  // namespace vellomar
