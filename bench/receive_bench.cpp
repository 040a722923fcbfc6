// Receiving-side load: an in-process relay (listener, sessions, window thread) on a
// loopback port, fed by N parallel clients that submit M complete messages of a given size.
// Reports messages per second and the growth of the process's resident memory.
//
//   receive_bench [--connections N] [--messages M] [--size BYTES]
//
// Loopback only; every wait is bounded; spool files go to a temporary folder that is removed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/app_directory.h"
#include "process_memory.h"
#include "common/flags.h"
#include "control/main_window.h"
#include "control/memory_controls.h"
#include "control/settings.h"
#include "platform/thread_executor.h"
#include "platform/thread_tracker.h"
#include "smtp_server/listener.h"
#include "spool/spool_lists.h"

using namespace vellomar;

namespace {


bool ReadReply(int fd, const char* want) {
  std::string got;
  while (got.find('\n') == std::string::npos) {
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, 60000) != 1) return false;
    char buffer[512];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got.rfind(want, 0) == 0;
}

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// One complete submission; the body is streamed from one reusable block of lines.
bool Submit(int port, size_t size) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ReadReply(fd, "220");
  const char* commands[] = {"HELO bench\r\n", "MAIL FROM:<bench@example.org>\r\n", "RCPT TO:<sink@example.org>\r\n"};
  for (const char* command : commands) ok = ok && SendAll(fd, command, std::strlen(command)) && ReadReply(fd, "250");
  ok = ok && SendAll(fd, "DATA\r\n", 6) && ReadReply(fd, "354");
  std::string block;
  while (block.size() < 64 * 1024) block += "The quick brown fox jumps over the lazy dog, again and again.\r\n";
  for (size_t left = size; ok && left > 0;) {
    size_t piece = std::min(left, block.size());
    ok = SendAll(fd, block.data(), piece);
    left -= piece;
  }
  ok = ok && SendAll(fd, "\r\n.\r\n", 5) && ReadReply(fd, "250");
  ok = ok && SendAll(fd, "QUIT\r\n", 6) && ReadReply(fd, "221");
  ::close(fd);
  return ok;
}

long Option(int argc, char** argv, const char* name, long fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::atol(argv[i + 1]);
  }
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const long connections = Option(argc, argv, "--connections", 8);
  const long messages = Option(argc, argv, "--messages", 400);
  const long size = Option(argc, argv, "--size", 10 * 1024);

  auto folder = std::filesystem::temp_directory_path() / ("vellomar-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  SetAppDirectory(folder.string());
  ::setenv("VELLOMAR_SMTP_PORT", "0", 1);
  TheSettings().Input = static_cast<int32_t>(connections);
  TheSettings().Logsize = 1024;

  MemoryControls controls;
  ThreadExecutor window(stopRequested);
  ThreadTracker threads(stopRequested);
  MainWindow mainWindow(window, controls, threads);
  mainWindow.OpenLog();
  auto listener = threads.Start([&](ThreadHandle& self) { return ListenerThread(mainWindow, self); });
  for (int i = 0; i < 20000 && ListeningPort() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const int port = ListeningPort();
  if (port == 0) {
    std::fprintf(stderr, "listener did not start\n");
    return 1;
  }

  const long rssBefore = StatusKb("VmRSS:");
  std::atomic<long> next{0};
  std::atomic<long> failed{0};
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> clients;
  for (long c = 0; c < connections; ++c) {
    clients.emplace_back([&] {
      while (next++ < messages) {
        if (!Submit(port, static_cast<size_t>(size))) ++failed;
      }
    });
  }
  for (auto& client : clients) client.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long peak = StatusKb("VmHWM:");

  stopRequested.Set();
  listener->Cancel();
  threads.JoinAll();
  window.Stop();
  std::filesystem::remove_all(folder);

  std::printf("connections %ld, messages %ld of %ld bytes, failed %ld\n", connections, messages, size, failed.load());
  std::printf("%.1f messages/s, %.1f MB/s\n", messages / seconds, messages * static_cast<double>(size) / seconds / 1e6);
  std::printf("resident memory: %ld kB before the load, peak %ld kB (growth %ld kB)\n", rssBefore, peak,
              peak - rssBefore);
  return failed.load() == 0 ? 0 : 1;
}
