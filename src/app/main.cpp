// Vellomar: a store-and-forward SMTP relay for the desktop. It needs no option to run; the
// few it knows answer a question and end.
#include <signal.h>

#include <cstring>
#include <iostream>

#include "app/command_line.h"
#include "common/app_directory_rule.h"
#include "platform/signals.h"
#include "ui/console_face.h"
#include "ui/window_face.h"

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
  // The window face is loaded only where it can show, after the mask, so that any thread its
  // libraries start inherits it too. A machine without it (the program's package alone) runs
  // the console face, as one without a display does.
  const bool console = argc == 2 && std::strcmp(argv[1], "--console") == 0;
  if (!console && vellomar::HasDisplay()) {
    vellomar::WindowFace window = vellomar::LoadWindowFace(vellomar::WindowFacePlaces(vellomar::ExecutableFolder()));
    if (window.run != nullptr) return window.run(argc, argv, ending);
    if (!window.path.empty()) {
      std::cerr << "vellomar: the window face " << window.path << " cannot be used: " << window.problem
                << "; running with the console face\n";
    }
  }
  return vellomar::RunConsoleFace(ending);
}
