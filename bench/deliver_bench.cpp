// Delivering-side load: one spool file of a given size relayed to a loopback sink by
// DeliverRecipient, as a worker would. Reports MB/s and the growth of resident memory.
//
//   deliver_bench [--size BYTES]
//
// Loopback only; the sink and the spool folder are gone when it ends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
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

#include "common/app_directory.h"
#include "process_memory.h"
#include "common/flags.h"
#include "control/main_window.h"
#include "control/memory_controls.h"
#include "delivery/smtp_client.h"
#include "platform/thread_executor.h"
#include "platform/thread_tracker.h"
#include "spool/spool_file.h"

using namespace vellomar;

namespace {


// A next server that accepts everything and throws the data away, counting it.
class Sink {
 public:
  Sink() : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 1);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Sink() {
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }
  long long received() const { return received_; }

 private:
  void Say(int fd, const char* text) { ::send(fd, text, std::strlen(text), MSG_NOSIGNAL); }
  void Serve() {
    int fd = ::accept(listener_, nullptr, nullptr);
    Say(fd, "220 sink\r\n");
    std::string line;
    bool data = false;
    char buffer[65536];
    for (;;) {
      ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      received_ += got;
      for (ssize_t i = 0; i < got; ++i) {
        line += buffer[i];
        if (buffer[i] != '\n') continue;
        if (data) {
          if (line == ".\r\n") {
            data = false;
            Say(fd, "250 ok\r\n");
          }
        } else if (line.rfind("DATA", 0) == 0) {
          data = true;
          Say(fd, "354 go\r\n");
        } else {
          Say(fd, line.rfind("QUIT", 0) == 0 ? "221 bye\r\n" : "250 ok\r\n");
        }
        line.clear();
      }
    }
    ::close(fd);
  }

  int listener_;
  int port_ = 0;
  std::atomic<long long> received_{0};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  long long size = 200LL * 1000 * 1000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--size") == 0) size = std::atoll(argv[i + 1]);
  }
  auto folder = std::filesystem::temp_directory_path() / ("vellomar-deliver-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  SetAppDirectory(folder.string());
  {
    std::ofstream spool(folder / "1.tml", std::ios::binary);
    spool << "HELO bench\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.org>\r\nDATA\r\nSubject: load\r\n\r\n";
    const std::string line = "The quick brown fox jumps over the lazy dog, again and again.\r\n";
    for (long long written = 0; written < size; written += static_cast<long long>(line.size())) spool << line;
    spool << ".\r\nQUIT\r\n";
  }

  MemoryControls controls;
  ThreadExecutor window(stopRequested);
  ThreadTracker threads(stopRequested);
  MainWindow mainWindow(window, controls, threads);
  const long rssBefore = StatusKb("VmRSS:");
  bool delivered = false;
  double seconds = 0;
  {
    Sink sink;
    auto file = SpoolFile::Open((folder / "1.tml").string(), O_RDWR);
    auto start = std::chrono::steady_clock::now();
    std::string server = "127.0.0.1:" + std::to_string(sink.port());
    DeliverRecipient(mainWindow, file.value(), "1.tml", "MAIL FROM:<a@example.org>\r\n", server,
                     "RCPT TO:<b@example.org>\r\n", 39);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    delivered = mainWindow.sentOk == 1;
  }
  const long peak = StatusKb("VmHWM:");
  window.Stop();
  std::filesystem::remove_all(folder);
  std::printf("relayed %lld bytes in %.2f s: %.1f MB/s, %s\n", size, seconds, size / seconds / 1e6,
              delivered ? "delivered" : "NOT delivered");
  std::printf("resident memory: %ld kB before, peak %ld kB (growth %ld kB)\n", rssBefore, peak, peak - rssBefore);
  return delivered ? 0 : 1;
}
