#include "control/program_lock.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>

#include "platform/file_system.h"
#include "platform/process.h"

namespace vellomar {

ErrorOr<FileDescriptor> TakeProgramLockFile(const std::string& path) {
  auto lock = OpenFile(path, O_RDWR | O_CREAT);
  // A lock file left read-only by an earlier version still locks; it just names nobody.
  if (!lock && lock.error() == EACCES) lock = OpenFile(path, O_RDONLY);
  if (!lock) return lock;
  Status taken = LockExclusiveNoWait(lock.value().get());
  if (!taken) return ErrorOr<FileDescriptor>::Fail(taken.error());
  std::string id = std::to_string(OwnProcessId()) + "\n";
  // Without its id the program still runs; only a command beside it cannot find it.
  if (TruncateFile(lock.value().get(), 0)) (void)WriteAll(lock.value().get(), id.data(), id.size());
  return lock;
}

std::optional<pid_t> ProgramLockHolder(const std::string& path) {
  auto lock = OpenFile(path, O_RDONLY);
  if (!lock) return std::nullopt;
  // Taken here means nobody holds it: the id in it is stale, whatever it says.
  Status taken = LockExclusiveNoWait(lock.value().get());
  if (taken || taken.error() != EWOULDBLOCK) return std::nullopt;
  auto text = ReadWholeFile(path);
  if (!text) return std::nullopt;
  long id = std::strtol(text.value().c_str(), nullptr, 10);
  if (id <= 0) return std::nullopt;
  return static_cast<pid_t>(id);
}

}  // namespace vellomar
