#include "relay/program_lock.h"

#include <fcntl.h>

#include <cerrno>
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
  auto lock = OpenFile(path, O_RDWR | O_CREAT);
  // A lock file left read-only by an earlier version still locks; it just names nobody.
  if (!lock && lock.error() == EACCES) lock = OpenFile(path, O_RDONLY);
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
  auto lock = OpenFile(path, O_RDONLY);
  if (!lock) return std::nullopt;
  // Taken here means nobody holds it: the id in it is stale, whatever it says.
  Status taken = LockExclusiveNoWait(lock.value().get());
  if (taken || taken.error() != EWOULDBLOCK) return std::nullopt;
  auto text = ReadWholeFile(path);
  if (!text) return std::nullopt;
  long id = std::strtol(text.value().c_str(), nullptr, 10);
  if (id <= 0) return std::nullopt;
  // A program that could not write its id leaves an older one there, which may name any
  // process by now: only one running this program is taken at its word.
  auto theirs = ReadWholeFile("/proc/" + std::to_string(id) + "/comm");
  auto ours = ReadWholeFile("/proc/self/comm");
  if (!theirs || !ours || theirs.value() != ours.value()) return std::nullopt;
  return static_cast<pid_t>(id);
}

}  // namespace vellomar
