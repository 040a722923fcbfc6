#include "relay/program_lock.h"

#include <fcntl.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/file_system.h"
#include "platform/process.h"

namespace vellomar {

namespace {
constexpr int kLockTries = 20;
constexpr std::chrono::milliseconds kLockRetry{50};
}  // namespace

ErrorOr<FileDescriptor> TakeProgramLockFile(const std::string& path) {
  // The folder may be another user's: a link left there under the lock's name is not followed
  // (the id written below would truncate whatever it names).
  auto lock = OpenFile(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY);
  // A lock file left read-only by an earlier version still locks; it just names nobody.
  if (!lock && lock.error() == EACCES) lock = OpenFile(path, O_RDONLY | O_NOFOLLOW | O_NOCTTY);
  if (!lock) return lock;
  Status taken = LockExclusiveNoWait(lock.value().get());
  // `vellomar --deliver-now` holds the lock for the moment it takes to probe it: a start that
  // meets it tries again for a little while before it says another program runs.
  for (int tries = 0; !taken && taken.error() == EWOULDBLOCK && tries < kLockTries; ++tries) {
    std::this_thread::sleep_for(kLockRetry);
    taken = LockExclusiveNoWait(lock.value().get());
  }
  if (!taken) return ErrorOr<FileDescriptor>::Fail(taken.error());
  std::string id = std::to_string(OwnProcessId()) + "\n";
  // Without its id the program still runs; only a command beside it cannot find it.
  if (TruncateFile(lock.value().get(), 0)) (void)WriteAll(lock.value().get(), id.data(), id.size());
  return lock;
}

std::optional<pid_t> ProgramLockHolder(const std::string& path) {
  // Root asks in a folder another user owns: never through a link, never waiting on a pipe.
  auto lock = OpenFile(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (!lock) return std::nullopt;
  // Taken here means nobody holds it: the id in it is stale, whatever it says.
  Status taken = LockExclusiveNoWait(lock.value().get());
  if (taken || taken.error() != EWOULDBLOCK) return std::nullopt;
  char text[32];
  auto got = ReadSome(lock.value().get(), text, sizeof text);
  if (!got) return std::nullopt;
  pid_t id = 0;
  auto [end, error] = std::from_chars(text, text + got.value(), id);
  if (error != std::errc() || end == text || id <= 0) return std::nullopt;
  // A program that could not write its id leaves an older one there, which may name any
  // process by now: only one running this program is taken at its word.
  auto theirs = ReadWholeFile("/proc/" + std::to_string(id) + "/comm");
  auto ours = ReadWholeFile("/proc/self/comm");
  if (!theirs || !ours || theirs.value() != ours.value()) return std::nullopt;
  return id;
}

}  // namespace vellomar
