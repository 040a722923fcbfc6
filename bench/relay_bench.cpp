// End to end: an in-process relay (listener, sessions, dispatcher, workers) whose next relay
// (SMTP) is a counting sink on loopback, fed by N parallel clients with M small messages.
// Reports messages per second received (all 250s in) and relayed (the sink's last message),
// and the process's peak resident memory.
//
//   relay_bench [--connections N] [--messages M] [--size BYTES] [--helo]
//       EHLO with pipelining unless --helo; one message per connection, as mail programs send.
//
// Loopback only; every wait is bounded; spool files go to a temporary folder that is removed.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "counting_sink.h"
#include "bench_options.h"
#include "in_process_relay.h"
#include "load_client.h"
#include "process_memory.h"

namespace {

bool SubmitOne(int port, bool pipelined, size_t size, long number) {
  LoadClient client(pipelined);
  return client.Open(port) && client.SendMessage(size, number) && client.Quit();
}

double Since(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const long connections = Option(argc, argv, "--connections", 10);
  const long messages = Option(argc, argv, "--messages", 5000);
  const long size = Option(argc, argv, "--size", 1024);
  const bool pipelined = !Flag(argc, argv, "--helo");

  CountingSink sink;
  InProcessRelay relay(100, sink.server());
  const int port = relay.port();
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
      for (long number = next++; number < messages; number = next++) {
        if (!SubmitOne(port, pipelined, static_cast<size_t>(size), number)) ++failed;
      }
    });
  }
  for (auto& client : clients) client.join();
  auto received = std::chrono::steady_clock::now();
  const long want = messages - failed.load();
  // Bounded: 30 s for the last deliveries.
  auto distinct = [&] { return sink.messages() - sink.repeated(); };
  for (int i = 0; i < 30000 && distinct() < want; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const long relayed = distinct();
  const long peak = StatusKb("VmHWM:");

  std::printf("%s dialogue, %ld clients, %ld messages of %ld bytes, one per connection, %ld failed\n",
              pipelined ? "EHLO + PIPELINING" : "HELO", connections, messages, size, failed.load());
  std::printf("received: %.1f messages/s\n", want / Since(start, received));
  std::printf("relayed end to end: %ld of %ld (and %ld relayed twice), %.1f messages/s\n", relayed, want,
              sink.repeated(), sink.messages() / Since(start, relayed > 0 ? sink.lastMessage() : received));
  std::printf("folder syncs: %llu for %ld messages (shared by sessions committing together)\n",
              static_cast<unsigned long long>(relay.relay().spoolSync.syncsMade()), want);
  std::printf("resident memory: %ld kB before the load, peak %ld kB (growth %ld kB)\n", rssBefore, peak,
              peak - rssBefore);
  if (relayed != want || sink.repeated() != 0) std::printf("%s\n", relay.Leftovers().c_str());
  return failed.load() == 0 && relayed == want && sink.repeated() == 0 ? 0 : 1;
}
