// Vellomar: a store-and-forward SMTP relay for the desktop. It needs no option to run; the
// few it knows answer a question and end.
#include <signal.h>

#include <cstdlib>
#include <initializer_list>
#include <iostream>

#include "app/command_line.h"
#include "platform/signals.h"
#include "ui/console_face.h"
#ifdef VELLOMAR_WITH_QT
#include "ui/qt_face.h"
#endif

namespace {

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (auto status = vellomar::RunCommandLine(argc, argv, std::cout, std::cerr)) return *status;
  // Sends never raise SIGPIPE, but a library might write to a closed socket all the same.
  // Failing only for an invalid signal number, which these are not.
  (void)vellomar::SetSignalAction(SIGPIPE, SIG_IGN);
  // Past a file size limit a write must fail with EFBIG, to be answered as a full disk, rather
  // than end the program.
  (void)vellomar::SetSignalAction(SIGXFSZ, SIG_IGN);  // as above
  // Blocked before any thread starts, so that every thread inherits the mask and the signals
  // are taken by the one thread that waits for them, never by a handler.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  // SIGUSR1 ("deliver now") is taken by the same thread, never by a handler.
  sigset_t watched = ending;
  sigaddset(&watched, SIGUSR1);
  (void)vellomar::ChangeThreadSignalMask(SIG_BLOCK, watched);  // fails only for an invalid `how`
#ifdef VELLOMAR_WITH_QT
  if (HasDisplay()) return vellomar::RunQtFace(argc, argv, ending);
#else
  (void)argc;
  (void)argv;
  (void)HasDisplay;
#endif
  return vellomar::RunConsoleFace(ending);
}
