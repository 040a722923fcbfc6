// The cost of one delivery run over many held files, with the next relay down: every file
// is taken, its worker finds the relay refusing and leaves it held, and the next run
// releases and tries them all again. Reports the CPU time (user + system) of each run.
//
//   queue_run_bench [--files N] [--runs R]     (defaults: 1000 files, 3 runs)
//
// Loopback only; the spool folder is gone when it ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "common/settings.h"
#include "control/main_window.h"
#include "control/memory_controls.h"
#include "delivery/route_walk.h"
#include "platform/thread_executor.h"
#include "spool/relay_services.h"

using namespace vellomar;

namespace {

// A loopback port nothing listens on: every connect is refused at once.
int RefusingPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool RunEnded(Relay& relay) { return relay.ClientThread() == nullptr && relay.outgoing.size() == 0; }

}  // namespace

int main(int argc, char** argv) {
  int files = 1000;
  int runs = 3;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--files") == 0) files = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  auto folder = std::filesystem::temp_directory_path() / ("vellomar-queue-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  for (int i = 0; i < files; ++i) {
    std::ofstream spool(folder / ("held" + std::to_string(i) + ".tml"), std::ios::binary);
    spool << "HELO bench\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.org>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n";
  }
  MemoryControls controls;
  StopFlag stop;
  ThreadExecutor window(stop);
  MainWindow mainWindow(window, controls, stop, folder.string());
  Relay& relay = mainWindow.relay();
  Settings settings;
  settings.SMTP = "127.0.0.1:" + std::to_string(RefusingPort());
  relay.PublishSettings(settings);
  if (!relay.OpenLog()) return 1;
  bool allHeld = true;
  for (int run = 1; run <= runs; ++run) {
    double cpu = CpuSeconds();
    auto start = std::chrono::steady_clock::now();
    relay.StartClient();
    while (!RunEnded(relay)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    relay.threads().Reap();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t held = relay.queue.size();
    allHeld = allHeld && held == static_cast<size_t>(files);
    std::printf("run %d over %d held files: %.3f s CPU, %.3f s wall, %zu names held after\n", run, files,
                CpuSeconds() - cpu, wall, held);
  }
  stop.Set();
  relay.threads().JoinAll();
  window.Stop();
  std::filesystem::remove_all(folder);
  return allHeld ? 0 : 1;
}
