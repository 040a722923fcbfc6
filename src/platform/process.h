#pragma once

#include <sys/types.h>

#include "platform/error_or.h"

namespace vellomar {

pid_t OwnProcessId();
// geteuid(2).
uid_t EffectiveUserId();
// kill(2): the errno when the signal could not be sent (ESRCH: no such process).
Status SendSignal(pid_t process, int signal);
// Gives up every privilege for good: no supplementary groups, then the group and the user,
// real, effective and saved (setgroups, setresgid, setresuid). The errno of the first that
// failed.
Status BecomeUser(uid_t user, gid_t group);

}  // namespace vellomar
