#include "platform/process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace vellomar {

pid_t OwnProcessId() { return ::getpid(); }

uid_t EffectiveUserId() { return ::geteuid(); }

Status SendSignal(pid_t process, int signal) {
  if (::kill(process, signal) != 0) return FailWith(errno);
  return Ok();
}

}  // namespace vellomar
