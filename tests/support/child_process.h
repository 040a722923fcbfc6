#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vellomar::test {

// A program started for a test with its own environment (the test's variables over the
// current ones, DISPLAY and WAYLAND_DISPLAY removed), standard input from a file (/dev/null
// unless given) and its output in files. Killed at destruction if it still runs.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::map<std::string, std::string>& environment,
               const std::string& stdoutPath, const std::string& stderrPath);
  // argv[0] is the program's path.
  ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
               const std::string& stdinPath, const std::string& stdoutPath, const std::string& stderrPath);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void Signal(int signal);
  // The exit status once it has ended within the time.
  std::optional<int> WaitExit(int timeoutMs);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// The current environment with the given variables over it, DISPLAY and WAYLAND_DISPLAY
// removed, as "NAME=value" texts.
std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& environment);

// How a program run to its end went: its exit status (none when it was killed for running
// past its time) and what it printed.
struct ProgramOutcome {
  std::optional<int> status;
  std::string out;
  std::string err;
  // The whole of it, for a failure message.
  std::string Describe() const;
};
// Runs argv (argv[0] a path) with standard input from `stdinPath`, its output in files under
// `folder`; waits at most `timeoutMs`, then kills it.
ProgramOutcome RunProgram(const std::vector<std::string>& argv, const std::string& stdinPath,
                          const std::string& folder, int timeoutMs);

// A port nothing listens on at this moment.
int FreePort();

}  // namespace vellomar::test
