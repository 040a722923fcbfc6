// Stand-ins for a window face's plug-in, built as three shared objects for the loader's tests:
// one of this build, whose face answers with a status made from its arguments; one that names
// another version; one with no entry at all.
#include "common/version.h"
#include "ui/face.h"

#if defined(VELLOMAR_FACE_KIND_this) || defined(VELLOMAR_FACE_KIND_other)
namespace {

int Answer(int argc, char** argv, const sigset_t& ending) {
  // Proves the arguments and the signal set reach the face: 40 + arguments + SIGTERM's presence.
  return 40 + argc + (sigismember(&ending, SIGTERM) == 1 ? 1 : 0) + (argv[argc] == nullptr ? 0 : 100);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const vellomar::WindowFaceEntry* vellomar_window_face() {
#ifdef VELLOMAR_FACE_KIND_this
  static const vellomar::WindowFaceEntry entry{vellomar::kWindowFaceInterface, VELLOMAR_VERSION, &Answer};
#else
  static const vellomar::WindowFaceEntry entry{vellomar::kWindowFaceInterface, "0.1", &Answer};
#endif
  return &entry;
}
#else
extern "C" __attribute__((visibility("default"))) int vellomar_something_else() { return 0; }
#endif
