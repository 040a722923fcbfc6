// Vellomar: a store-and-forward SMTP relay for the desktop. No command-line options.
#include <pthread.h>
#include <signal.h>

#include "ui/console_face.h"

int main() {
  // Sends never raise SIGPIPE, but a library might write to a closed socket all the same.
  ::signal(SIGPIPE, SIG_IGN);
  // Blocked before any thread starts, so that every thread inherits the mask and the signals
  // are taken by the one thread that waits for them, never by a handler.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  return vellomar::RunConsoleFace(ending);
}
