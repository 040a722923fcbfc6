#pragma once

#include <string>

namespace vellomar {

// Where the program may keep its files, as found in the environment and around the executable.
struct AppDirectoryPlaces {
  std::string chosen;             // $VELLOMAR_DIR; empty when unset
  std::string executableFolder;   // the running executable's folder
  std::string stateHome;          // ${XDG_STATE_HOME:-$HOME/.local/state}
  std::string installedTemplate;  // <prefix>/share/vellomar/error, next to an installed program
};

// The running executable's folder, without a trailing slash.
std::string ExecutableFolder();

// The places of the running program. The prefix of an installed program is the executable's
// folder's parent, so that an installation unpacked anywhere finds its own template.
AppDirectoryPlaces CurrentAppDirectoryPlaces();

// The application directory: the chosen folder when there is one; else the executable's folder
// when it holds the template and this process may write there (the portable layout); else
// "<stateHome>/vellomar", created with mode 0700 when missing and given a copy of the installed
// template when it has none. A folder that cannot be made or filled is still returned: the
// start-up checks report what makes it unusable.
std::string ChooseAppDirectory(const AppDirectoryPlaces& places);

}  // namespace vellomar
