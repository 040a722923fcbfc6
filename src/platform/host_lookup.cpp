#include "platform/host_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <system_error>
#include <mutex>
#include <thread>
#include <vector>

namespace vellomar {

namespace {

// One lookup, shared by the thread that makes it and the one that waits for it.
struct Lookup {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  int error = 0;
  sockaddr_in address{};
};

void Resolve(Lookup& lookup, const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, ::freeaddrinfo);
  if (error == 0 && (found == nullptr || found->ai_addrlen < sizeof(sockaddr_in))) error = EAI_NONAME;
  std::lock_guard<std::mutex> guard(lookup.lock);
  if (error == 0) {
    lookup.address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    lookup.address.sin_port = htons(port);
  }
  lookup.error = error;
  lookup.finished = true;
  lookup.done.notify_all();
}

// Owns the lookups their callers gave up on, and joins them: those that have ended at each
// new hand-over, the rest when the program ends (a hung resolver gives up by itself within
// its own time limits).
class AbandonedLookups {
 public:
  ~AbandonedLookups() {
    for (Entry& entry : entries_) entry.thread.join();
  }
  void Keep(std::shared_ptr<Lookup> lookup, std::thread thread) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (Finished(*it->lookup)) {
        it->thread.join();
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
    entries_.push_back(Entry{std::move(lookup), std::move(thread)});
  }

 private:
  struct Entry {
    std::shared_ptr<Lookup> lookup;
    std::thread thread;
  };
  static bool Finished(Lookup& lookup) {
    std::lock_guard<std::mutex> guard(lookup.lock);
    return lookup.finished;
  }
  std::mutex lock_;
  std::vector<Entry> entries_;
};

AbandonedLookups abandonedLookups;

constexpr std::chrono::milliseconds kSlice{100};

}  // namespace

ErrorOr<sockaddr_in> LookUpIpv4(const std::string& host, uint16_t port, const std::function<bool()>& abandon) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1) return address;
  auto lookup = std::make_shared<Lookup>();
  std::thread thread;
  try {
    thread = std::thread([lookup, host, port] { Resolve(*lookup, host, port); });
  } catch (const std::system_error&) {
    return ErrorOr<sockaddr_in>::Fail(EAI_SYSTEM);
  }
  std::unique_lock<std::mutex> held(lookup->lock);
  while (!lookup->done.wait_for(held, kSlice, [&] { return lookup->finished; })) {
    if (!abandon || !abandon()) continue;
    held.unlock();
    abandonedLookups.Keep(lookup, std::move(thread));
    return ErrorOr<sockaddr_in>::Fail(EAI_CANCELED);
  }
  held.unlock();
  thread.join();
  if (lookup->error != 0) return ErrorOr<sockaddr_in>::Fail(lookup->error);
  return lookup->address;
}

}  // namespace vellomar
