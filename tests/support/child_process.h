#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vellomar::test {

// A program started for a test with its own environment (the test's variables over the
// current ones, DISPLAY and WAYLAND_DISPLAY removed), standard input from /dev/null and its
// output in files. Killed at destruction if it still runs.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::map<std::string, std::string>& environment,
               const std::string& stdoutPath, const std::string& stderrPath,
               const std::vector<std::string>& arguments = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
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

// A port nothing listens on at this moment.
int FreePort();

}  // namespace vellomar::test
