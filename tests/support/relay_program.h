#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vellomar::test {

// The real program, run from a temporary application directory of its own: a copy of the
// executable and the failure template, the settings store beside them, the SMTP port one
// that was free. Killed at destruction if it still runs.
class RelayProgram {
 public:
  explicit RelayProgram(const std::string& executable);

  const TempDir& dir() const { return dir_; }
  int port() const { return port_; }

  // Writes the settings store with these `name=value` lines under the relay's key.
  void Configure(const std::string& values);
  // The environment it runs with: its store, configuration folder, home and port, with
  // `extra` over them.
  std::map<std::string, std::string> Environment(const std::map<std::string, std::string>& extra = {}) const;
  // Puts this window face plug-in beside the program, as a build folder has it.
  void AddWindowFace(const std::string& plugin);
  // Starts it without waiting for anything.
  void Launch(const std::map<std::string, std::string>& extra = {}, const std::vector<std::string>& arguments = {});
  // Starts it (extra environment over the usual, arguments after its name) and waits until its
  // log says it listens; false, with the log in the failure, when it does not.
  bool Start(const std::map<std::string, std::string>& extra = {}, const std::vector<std::string>& arguments = {});
  // SIGTERM, then its exit status (-1 when it is still running after 30 s).
  int Stop();
  ChildProcess* process() { return process_.get(); }

  std::string Log() const { return dir_.Read("logfile"); }
  std::vector<std::string> SpoolFiles() const;

 private:
  TempDir dir_;
  int port_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace vellomar::test
