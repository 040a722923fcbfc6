#pragma once

#include <string>

namespace vellomar {

// The program path stored when autostart is on: the running executable's folder and
// "/vellomar", which is the application directory in the portable layout and /usr/bin when
// installed.
std::string AutostartProgramPath();
// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/vellomar.desktop
std::string AutostartEntryPath();

// The autostart value "Vellomar": "" when autostart is off.
std::string ReadAutostart();
// Stores the value (an empty text is kept as an empty value, not deleted) and makes the
// desktop's autostart entry agree: written with the text as its command, or removed.
void WriteAutostart(const std::string& programPath);

}  // namespace vellomar
