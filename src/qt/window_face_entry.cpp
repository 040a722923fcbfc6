// The one name the window face's plug-in shows the program (see ui/face.h). Everything else in
// the plug-in, the relay it carries included, is linked with hidden names, so that nothing of
// it can bind to the program's own copy, nor the program's to it.
#include "common/version.h"
#include "qt/qt_face.h"
#include "ui/face.h"

extern "C" __attribute__((visibility("default"))) const vellomar::WindowFaceEntry* vellomar_window_face() {
  static const vellomar::WindowFaceEntry entry{vellomar::kWindowFaceInterface, VELLOMAR_VERSION, &vellomar::RunQtFace};
  return &entry;
}
