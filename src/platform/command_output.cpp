#include "platform/command_output.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/file_descriptor.h"
#include "platform/socket.h"
#include "platform/stop_flag.h"

extern char** environ;

namespace vellomar {

namespace {

using Clock = std::chrono::steady_clock;

// How often a wait on the command looks at the stop flag: a shutdown must not wait out a
// command's whole time limit.
constexpr std::chrono::milliseconds kStopSlice{100};

// The poll time-out for the next slice of a wait until `deadline`; 0 once it has passed.
int NextSlice(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min(left, kStopSlice).count());
}

ErrorOr<pid_t> Spawn(const std::string& command, int outputFd, int readEnd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
  posix_spawn_file_actions_addclose(&actions, readEnd);
  // The program ignores SIGPIPE; the command gets the usual end when its reader goes.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  // The program blocks its ending signals in every thread; the command must not inherit that.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  // A group of its own, so that a time-out ends the whole pipeline, not the shell alone.
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = -1;
  int error = ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return ErrorOr<pid_t>::Fail(error);
  return pid;
}

// Reads until the first line end, the end of the output, the deadline or the stop.
int ReadFirstLine(int fd, Clock::time_point deadline, const StopFlag& stop, std::string& line) {
  char buffer[512];
  for (;;) {
    if (line.find('\n') != std::string::npos) return 0;
    if (stop.load()) return ECANCELED;
    int slice = NextSlice(deadline);
    if (slice == 0) return ETIMEDOUT;
    auto ready = WaitReadable(fd, slice);
    if (!ready) return ready.error();
    if (!ready.value()) continue;
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    line.append(buffer, static_cast<size_t>(got));
  }
}

// True when the child ended before the deadline or the stop (not reaped yet).
bool WaitForEnd(pid_t pid, Clock::time_point deadline, const StopFlag& stop) {
  FileDescriptor process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!process.valid()) return false;
  for (;;) {
    auto ended = WaitReadable(process.get(), NextSlice(deadline));
    if (!ended) return false;
    if (ended.value()) return true;
    if (stop.load() || Clock::now() >= deadline) return false;
  }
}

}  // namespace

ErrorOr<std::string> FirstOutputLine(const std::string& command, std::chrono::milliseconds wait,
                                     const StopFlag& stop) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return ErrorOr<std::string>::Fail(errno);
  FileDescriptor readEnd(ends[0]);
  FileDescriptor writeEnd(ends[1]);
  auto pid = Spawn(command, writeEnd.get(), readEnd.get());
  (void)writeEnd.Close();  // the child holds its own copy
  if (!pid) return ErrorOr<std::string>::Fail(pid.error());
  auto deadline = Clock::now() + wait;
  std::string output;
  int error = ReadFirstLine(readEnd.get(), deadline, stop, output);
  (void)readEnd.Close();  // a command that writes on is stopped by its broken pipe
  bool ended = error == 0 && WaitForEnd(pid.value(), deadline, stop);
  if (!ended) ::kill(-pid.value(), SIGKILL);  // its whole group, see Spawn
  int status = 0;
  while (::waitpid(pid.value(), &status, 0) < 0 && errno == EINTR) {
  }
  if (error != 0) return ErrorOr<std::string>::Fail(error);
  if (!ended) return ErrorOr<std::string>::Fail(stop.load() ? ECANCELED : ETIMEDOUT);
  // A command ended by its broken pipe had written its line: it was still writing more. The
  // shell reports that end as 128 plus the signal.
  bool succeeded = WIFEXITED(status) ? WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 128 + SIGPIPE
                                     : WTERMSIG(status) == SIGPIPE;
  if (!succeeded) return ErrorOr<std::string>::Fail(ECHILD);
  output = output.substr(0, output.find('\n'));
  if (!output.empty() && output.back() == '\r') output.pop_back();
  return output;
}

}  // namespace vellomar
