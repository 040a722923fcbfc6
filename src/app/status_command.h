#pragma once

#include <iosfwd>

namespace vellomar {

// `vellomar --status [--json]`: how the relay of the application folder is doing, as a person
// and a monitoring check read it (control/relay_status.h, control/status_report.h). Run as
// root on a folder another user owns (the system service's), it reads the folder with that
// user's rights, having read the settings store with its own. The exit status is a monitoring
// plug-in's: 0 all well, 1 a warning, 2 critical, 3 the folder could not be read.
int StatusCommand(bool json, std::ostream& out, std::ostream& err);

}  // namespace vellomar
