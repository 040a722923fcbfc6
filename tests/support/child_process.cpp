#include "support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace vellomar::test {

namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& environment) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    size_t equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  merged.erase("DISPLAY");
  merged.erase("WAYLAND_DISPLAY");
  for (const auto& [name, value] : environment) merged[name] = value;
  std::vector<std::string> texts;
  for (const auto& [name, value] : merged) texts.push_back(name + "=" + value);
  return texts;
}

ChildProcess::ChildProcess(const std::string& program, const std::map<std::string, std::string>& environment,
                           const std::string& stdoutPath, const std::string& stderrPath)
    : ChildProcess(std::vector<std::string>{program}, environment, "/dev/null", stdoutPath, stderrPath) {}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                           const std::string& stdinPath, const std::string& stdoutPath, const std::string& stderrPath) {
  std::vector<std::string> texts = ChildEnvironment(environment);
  std::vector<char*> envp;
  for (std::string& text : texts) envp.push_back(text.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, stdinPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::vector<std::string> words = argv;
  std::vector<char*> arguments;
  for (std::string& word : words) arguments.push_back(word.data());
  arguments.push_back(nullptr);
  if (argv.empty() || posix_spawn(&pid_, argv[0].c_str(), &actions, &attributes, arguments.data(), envp.data()) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

std::optional<int> ChildProcess::WaitExit(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pid_ > 0 && !reaped_) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return std::nullopt;
}

std::string ProgramOutcome::Describe() const {
  std::string text = status ? "exit status " + std::to_string(*status) : std::string("killed: ran past its time");
  return text + "\n--- standard output:\n" + out + "\n--- standard error:\n" + err;
}

ProgramOutcome RunProgram(const std::vector<std::string>& argv, const std::string& stdinPath,
                          const std::string& folder, int timeoutMs) {
  const std::string outPath = folder + "/program.out";
  const std::string errPath = folder + "/program.err";
  ProgramOutcome outcome;
  {
    ChildProcess child(argv, {}, stdinPath, outPath, errPath);
    if (!child.started()) {
      outcome.err = "could not start " + (argv.empty() ? std::string() : argv[0]);
      return outcome;
    }
    outcome.status = child.WaitExit(timeoutMs);
  }  // killed here when it ran past its time
  outcome.out = ReadWhole(outPath);
  outcome.err = ReadWhole(errPath);
  return outcome;
}

namespace {

// Whether a TCP socket can be bound to the port on every address and to its UDP twin.
bool CanBind(int port) {
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (!bound) return false;
  }
  return true;
}

}  // namespace

// Chosen below the system's ephemeral range: a port from that range, once given back, is
// soon taken again by another test's bind to port 0 or by an outgoing connection, and the
// program started on it would then not listen, or a client would reach the wrong server.
int FreePort() {
  int low = 32768;
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  range >> low;
  std::random_device seed;
  std::uniform_int_distribution<int> pick(10000, std::max(10001, low - 1));
  for (int attempt = 0; attempt < 100; ++attempt) {
    int port = pick(seed);
    if (port < low && CanBind(port)) return port;
  }
  ADD_FAILURE() << "no free port below " << low;
  return 0;
}

}  // namespace vellomar::test
