// Delivering-side load: one spool file of a given size relayed to a loopback sink by
// DeliverRecipient, as a worker would. Reports MB/s and the growth of resident memory.
//
//   deliver_bench [--size BYTES]
//
// Loopback only; the sink and the spool folder are gone when it ends.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "control/main_window.h"
#include "control/memory_controls.h"
#include "counting_sink.h"
#include "delivery/route.h"
#include "delivery/route_walk.h"
#include "platform/thread_executor.h"
#include "process_memory.h"
#include "spool/spool_file.h"

using namespace vellomar;

int main(int argc, char** argv) {
  long long size = 200LL * 1000 * 1000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--size") == 0) size = std::atoll(argv[i + 1]);
  }
  auto folder = std::filesystem::temp_directory_path() / ("vellomar-deliver-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  {
    std::ofstream spool(folder / "1.tml", std::ios::binary);
    spool << "HELO bench\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.org>\r\nDATA\r\nSubject: load\r\n\r\n";
    const std::string line = "The quick brown fox jumps over the lazy dog, again and again.\r\n";
    for (long long written = 0; written < size; written += static_cast<long long>(line.size())) spool << line;
    spool << ".\r\nQUIT\r\n";
  }

  MemoryControls controls;
  StopFlag stop;
  ThreadExecutor window(stop);
  MainWindow mainWindow(window, controls, stop, folder.string());
  Relay& relay = mainWindow.relay();
  const long rssBefore = StatusKb("VmRSS:");
  bool delivered = false;
  double seconds = 0;
  {
    CountingSink sink;
    auto file = SpoolFile::Open((folder / "1.tml").string(), O_RDWR);
    auto start = std::chrono::steady_clock::now();
    std::string server = "127.0.0.1:" + std::to_string(sink.port());
    DeliverAlongRoute(relay, *relay.settings(), file.value(), "1.tml", RouteVia(*relay.settings(), server),
                      "RCPT TO:<b@example.org>\r\n", 39);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    delivered = relay.counters.sentOk == 1;
  }
  const long peak = StatusKb("VmHWM:");
  stop.Set();
  window.Stop();
  std::filesystem::remove_all(folder);
  std::printf("relayed %lld bytes in %.2f s: %.1f MB/s, %s\n", size, seconds, size / seconds / 1e6,
              delivered ? "delivered" : "NOT delivered");
  std::printf("resident memory: %ld kB before, peak %ld kB (growth %ld kB)\n", rssBefore, peak, peak - rssBefore);
  return delivered ? 0 : 1;
}
