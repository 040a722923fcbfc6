// Vellomar: a store-and-forward SMTP relay for the desktop. It needs no option to run; the
// few it knows answer a question and end.
#include <signal.h>

#include <iostream>

#include "app/command_line.h"
#include "platform/signals.h"
#include "ui/console_face.h"
#ifdef VELLOMAR_WITH_QT
#include "ui/qt_face.h"
#endif

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
  // SIGUSR1 ("deliver now") and SIGUSR2 ("the sign-in changed") are taken by the same thread,
  // never by a handler.
  sigset_t watched = ending;
  sigaddset(&watched, SIGUSR1);
  sigaddset(&watched, SIGUSR2);
  (void)vellomar::ChangeThreadSignalMask(SIG_BLOCK, watched);  // fails only for an invalid `how`
#ifdef VELLOMAR_WITH_QT
  if (vellomar::HasDisplay()) return vellomar::RunQtFace(argc, argv, ending);
#else
  (void)argc;
  (void)argv;
  (void)vellomar::HasDisplay;
#endif
  return vellomar::RunConsoleFace(ending);
}
