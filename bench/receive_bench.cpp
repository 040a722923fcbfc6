// Receiving-side load: an in-process relay (listener, sessions, window thread) on a
// loopback port, fed by clients that submit complete messages of a given size. Reports
// messages per second and the growth of the process's resident memory.
//
//   receive_bench [--connections N] [--messages M] [--size BYTES] [--ehlo] [--per-connection K]
//       N clients share M messages, each client sending K messages per connection; the
//       described HELO dialogue, or with --ehlo EHLO and pipelined MAIL, RCPT and DATA.
//   receive_bench --burst N [--rounds R] [--size BYTES] [--ehlo]
//       R rounds of N connections opened at the same moment, one message each.
//
// Loopback only; every wait is bounded; spool files go to a temporary folder that is removed.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_options.h"
#include "in_process_relay.h"
#include "load_client.h"
#include "process_memory.h"

namespace {

struct Load {
  long connections;
  long messages;
  long size;
  long perConnection;
  bool ehlo;
};

// One connection carrying `count` messages; the number of them that got their 250.
long SubmitOn(int port, const Load& load, long count) {
  LoadClient client(load.ehlo);
  if (!client.Open(port)) return 0;
  long sent = 0;
  while (sent < count && client.SendMessage(static_cast<size_t>(load.size))) ++sent;
  return client.Quit() ? sent : 0;
}

// Clients that share the messages until none is left; the number that failed.
long SteadyLoad(int port, const Load& load) {
  std::atomic<long> next{0};
  std::atomic<long> failed{0};
  std::vector<std::thread> clients;
  for (long c = 0; c < load.connections; ++c) {
    clients.emplace_back([&] {
      for (;;) {
        long first = next.fetch_add(load.perConnection);
        if (first >= load.messages) return;
        long count = std::min(load.perConnection, load.messages - first);
        failed += count - SubmitOn(port, load, count);
      }
    });
  }
  for (auto& client : clients) client.join();
  return failed;
}

// One burst: every client is started and waits, then all connect at once; the number of
// messages that failed.
long Burst(int port, const Load& load) {
  std::mutex lock;
  std::condition_variable go;
  bool released = false;
  std::atomic<long> failed{0};
  std::vector<std::thread> clients;
  for (long c = 0; c < load.connections; ++c) {
    clients.emplace_back([&] {
      {
        std::unique_lock<std::mutex> guard(lock);
        go.wait(guard, [&] { return released; });
      }
      failed += 1 - SubmitOn(port, load, 1);
    });
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    released = true;
  }
  go.notify_all();
  for (auto& client : clients) client.join();
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  const long burst = Option(argc, argv, "--burst", 0);
  const long rounds = burst > 0 ? Option(argc, argv, "--rounds", 20) : 1;
  Load load{burst > 0 ? burst : Option(argc, argv, "--connections", 8), burst > 0 ? burst * rounds : Option(argc, argv, "--messages", 400),
            Option(argc, argv, "--size", burst > 0 ? 1024 : 10 * 1024), Option(argc, argv, "--per-connection", 1),
            Flag(argc, argv, "--ehlo")};
  load.perConnection = std::max(1L, load.perConnection);

  InProcessRelay relay(static_cast<int>(std::max(load.connections, 100L)), "");
  const int port = relay.port();
  if (port == 0) {
    std::fprintf(stderr, "listener did not start\n");
    return 1;
  }
  const long rssBefore = StatusKb("VmRSS:");
  long failed = 0;
  auto start = std::chrono::steady_clock::now();
  for (long round = 0; round < rounds; ++round) failed += burst > 0 ? Burst(port, load) : SteadyLoad(port, load);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long peak = StatusKb("VmHWM:");

  std::printf("%s dialogue, ", load.ehlo ? "EHLO + PIPELINING" : "HELO");
  if (burst > 0) {
    std::printf("%ld rounds of %ld simultaneous connections, one message of %ld bytes each, failed %ld\n", rounds,
                burst, load.size, failed);
  } else {
    std::printf("connections %ld, messages %ld of %ld bytes, %ld per connection, failed %ld\n", load.connections,
                load.messages, load.size, load.perConnection, failed);
  }
  std::printf("%.1f messages/s, %.1f MB/s\n", load.messages / seconds, load.messages * static_cast<double>(load.size) / seconds / 1e6);
  std::printf("resident memory: %ld kB before the load, peak %ld kB (growth %ld kB)\n", rssBefore, peak,
              peak - rssBefore);
  return failed == 0 ? 0 : 1;
}
