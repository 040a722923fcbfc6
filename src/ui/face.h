#pragma once

#include <signal.h>

namespace vellomar {

// A face shows the relay to the person at this machine and takes their commands. There are
// two: the console face (console_face.h), always there, and the window face (Qt: window,
// dialogs, tray icon), a plug-in that window_face.h finds and loads only where a display is
// named, so that the program itself links no graphical library. Either one runs the program
// from its start-up checks to its shutdown and returns the exit status; the `ending` signals,
// blocked by the caller before any thread started, end it through its normal shutdown.
//
// Everything a face tells the person while the relay runs (notifications, message boxes, the
// start-up questions, a sign-in to make again) reaches it through WindowControls, which each
// face implements on its own side: a new kind of event joins that interface and both faces,
// and this seam stays as it is.
using FaceMain = int(int argc, char** argv, const sigset_t& ending);

// What the window face's plug-in hands the program, from its one exported function. The plug-in
// carries the relay it drives, built from the same tree, so nothing else crosses between them;
// the program runs it only when both fields name its own build.
struct WindowFaceEntry {
  int interface;        // kWindowFaceInterface as the plug-in was built
  const char* version;  // VELLOMAR_VERSION as the plug-in was built
  FaceMain* run;
};

// Raised whenever WindowFaceEntry or the meaning of its fields changes.
inline constexpr int kWindowFaceInterface = 1;
// The C name of the plug-in's function: `const WindowFaceEntry* vellomar_window_face(void)`.
inline constexpr const char* kWindowFaceSymbol = "vellomar_window_face";
using WindowFaceFunction = const WindowFaceEntry*();
// The plug-in's file, beside the program (the portable layout, a build folder) or in
// <prefix>/lib/<multiarch>/vellomar beside an installed one.
inline constexpr const char* kWindowFacePlugin = "vellomar-qt.so";

}  // namespace vellomar
