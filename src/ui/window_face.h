#pragma once

#include <string>
#include <vector>

#include "ui/face.h"

namespace vellomar {

// The window face as this machine has it. `run` is set when it can run; otherwise `path` names
// the plug-in found (empty when there is none, which is no fault: the machine has no window
// face installed) and `problem` says why it cannot be used.
struct WindowFace {
  FaceMain* run = nullptr;
  std::string path;
  std::string problem;
};

// Where the plug-in is looked for, in order: beside the program (the portable layout, a build
// folder), then the program's library folder beside an installed program in <prefix>/bin:
// <prefix>/lib/<multiarch>/vellomar (on amd64 lib/x86_64-linux-gnu/vellomar).
std::vector<std::string> WindowFacePlaces(const std::string& executableFolder);

// Loads the first plug-in of `places` that exists and returns its face, once it has checked
// that loading it is safe and that it was built with this program. Loading runs its code as
// this process's user, so it must be a plain file that belongs, as its folder does, to root or
// to that user, and that nobody else may write to, nor replace. A plug-in that is refused or
// fails to load is unloaded again; one that runs stays loaded for the life of the process.
WindowFace LoadWindowFace(const std::vector<std::string>& places);

}  // namespace vellomar
