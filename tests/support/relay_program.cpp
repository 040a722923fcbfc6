#include "support/relay_program.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <iostream>

#include "platform/file_system.h"
#include "support/eventually.h"

namespace vellomar::test {

RelayProgram::RelayProgram(const std::string& executable) : port_(FreePort()) {
  std::filesystem::copy_file(executable, dir_.File("vellomar"));
  std::filesystem::copy_file(std::string(VELLOMAR_RESOURCES) + "/error", dir_.File("error"));
  ::chmod(dir_.File("vellomar").c_str(), 0755);
}

void RelayProgram::Configure(const std::string& values) {
  ASSERT_TRUE(MakeDirectories(dir_.File("store")));
  dir_.Write("store/HKEY_LOCAL_MACHINE.ini", "[Software\\Vellomar]\n" + values);
}

std::map<std::string, std::string> RelayProgram::Environment(const std::map<std::string, std::string>& extra) const {
  std::map<std::string, std::string> environment{{"VELLOMAR_REGISTRY", dir_.File("store")},
                                                 {"XDG_CONFIG_HOME", dir_.File("config")},
                                                 {"HOME", dir_.path()},
                                                 {"VELLOMAR_SMTP_PORT", std::to_string(port_)}};
  for (const auto& [name, value] : extra) environment[name] = value;
  return environment;
}

void RelayProgram::AddWindowFace(const std::string& plugin) {
  std::filesystem::copy_file(plugin, dir_.File("vellomar-qt.so"));
}

void RelayProgram::Launch(const std::map<std::string, std::string>& extra, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{dir_.File("vellomar")};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  process_ = std::make_unique<ChildProcess>(argv, Environment(extra), "/dev/null", dir_.File("stdout"),
                                            dir_.File("stderr"));
}

bool RelayProgram::Start(const std::map<std::string, std::string>& extra, const std::vector<std::string>& arguments) {
  Launch(extra, arguments);
  if (!process_->started()) {
    ADD_FAILURE() << "the program did not start";
    return false;
  }
  if (Eventually([this] { return Log().find("Server started and listening.\r\n") != std::string::npos; })) return true;
  ADD_FAILURE() << "the program does not listen; its log:\n" << Log() << "\nits standard error:\n" << dir_.Read("stderr");
  return false;
}

int RelayProgram::Stop() {
  process_->Signal(SIGTERM);
  auto status = process_->WaitExit(30000);
  EXPECT_TRUE(status.has_value()) << "still running after SIGTERM";
  // A sanitizer's report or a crash is told only on the program's standard error.
  if (status.value_or(-1) != 0) std::cerr << "the program's standard error:\n" << dir_.Read("stderr") << "\n";
  return status.value_or(-1);
}

std::vector<std::string> RelayProgram::SpoolFiles() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    if (entry.path().extension() == ".tml") names.push_back(entry.path().filename());
  }
  return names;
}

}  // namespace vellomar::test
