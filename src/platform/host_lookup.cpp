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

#include "platform/socket_address.h"

namespace vellomar {

namespace {

// One lookup, shared by the thread that makes it and the one that waits for it.
struct Lookup {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  SystemError error;
  std::vector<SocketAddress> addresses;
};

// Every IPv4 and IPv6 address of the answer in the resolver's order, each once, with the port.
std::vector<SocketAddress> AddressesOf(const addrinfo* found, uint16_t port) {
  std::vector<SocketAddress> addresses;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    auto address = SocketAddress::From(entry->ai_addr, entry->ai_addrlen);
    if (!address) continue;
    address->SetPort(port);
    bool seen = false;
    for (const SocketAddress& earlier : addresses) seen = seen || earlier == *address;
    if (!seen) addresses.push_back(*address);
  }
  return addresses;
}

// The resolver's answer for `host`: its code, and the addresses when it found any.
int Ask(const std::string& host, uint16_t port, int family, int flags, std::vector<SocketAddress>& addresses) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, ::freeaddrinfo);
  if (code == 0) addresses = AddressesOf(found, port);
  if (code == 0 && addresses.empty()) code = EAI_NONAME;
  return code;
}

void Resolve(Lookup& lookup, const std::string& host, uint16_t port, int family) {
  std::vector<SocketAddress> addresses;
  int code;
  // This thread's last guard: the only exception there can be is a failed allocation.
  try {
    code = Ask(host, port, family, 0, addresses);
  } catch (...) {
    code = EAI_MEMORY;
  }
  // EAI_SYSTEM says only that the real cause is in errno.
  SystemError error = code == EAI_SYSTEM && errno != 0 ? SystemError{errno} : ResolverError(code);
  std::lock_guard<std::mutex> guard(lookup.lock);
  if (code == 0) lookup.addresses = std::move(addresses);
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

ErrorOr<std::vector<SocketAddress>> LookUpHost(const std::string& host, uint16_t port, int family,
                                               const std::function<bool()>& abandon) {
  using Result = ErrorOr<std::vector<SocketAddress>>;
  std::vector<SocketAddress> literal;
  // An address as text never waits for a server.
  int code = Ask(host, port, AF_UNSPEC, AI_NUMERICHOST, literal);
  if (code == 0) {
    if (family != AF_UNSPEC && literal.front().family() != family) return Result::Fail(ResolverError(EAI_ADDRFAMILY));
    return literal;
  }
  auto lookup = std::make_shared<Lookup>();
  std::thread thread;
  try {
    thread = std::thread([lookup, host, port, family] { Resolve(*lookup, host, port, family); });
  } catch (const std::system_error& failed) {
    return Result::Fail(failed.code().value());
  }
  std::unique_lock<std::mutex> held(lookup->lock);
  while (!lookup->done.wait_for(held, kSlice, [&] { return lookup->finished; })) {
    if (!abandon || !abandon()) continue;
    held.unlock();
    abandonedLookups.Keep(lookup, std::move(thread));
    return Result::Fail(ResolverError(EAI_CANCELED));
  }
  held.unlock();
  thread.join();
  if (lookup->error.code != 0) return Result::Fail(lookup->error);
  return std::move(lookup->addresses);
}

}  // namespace vellomar
