#include "platform/process.h"

#include <grp.h>
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

Status BecomeUser(uid_t user, gid_t group) {
  if (::setgroups(0, nullptr) != 0) return FailWith(errno);
  if (::setresgid(group, group, group) != 0) return FailWith(errno);
  if (::setresuid(user, user, user) != 0) return FailWith(errno);
  return Ok();
}

}  // namespace vellomar
