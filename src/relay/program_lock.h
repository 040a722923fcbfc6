#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/error_or.h"
#include "platform/file_descriptor.h"

namespace vellomar {

// The folder's program lock, `vellomar.lock`: the running program holds an exclusive flock
// on it for its whole life and writes its process id into it, so that a command run beside
// it can find it. Used by one thread at a time.

// Takes the lock and records this process in it. EWOULDBLOCK when another program holds it;
// another error when the file cannot be opened (the program then runs without it).
ErrorOr<FileDescriptor> TakeProgramLockFile(const std::string& path);

// The process that holds the lock at `path`, by the id it wrote; none when no program holds
// it (or it holds it but has not written its id yet).
std::optional<pid_t> ProgramLockHolder(const std::string& path);

}  // namespace vellomar
