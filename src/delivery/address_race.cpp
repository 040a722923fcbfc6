#include "delivery/address_race.h"

#include <algorithm>

#include "common/system_error.h"
#include "platform/socket.h"

namespace vellomar {

namespace {

constexpr std::chrono::milliseconds kAbandonSlice{100};

std::chrono::milliseconds Until(std::chrono::steady_clock::time_point when) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(when - std::chrono::steady_clock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

}  // namespace

// GCC 12 at -O3 warns of an overlap (-Wrestrict) inside std::string's operator+ inlined here: a
// known false positive of that compiler (its bug 105329); silenced for this line alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
std::string BracketedAddress(const SocketAddress& address) { return "[" + address.HostText() + "]"; }
#pragma GCC diagnostic pop

AddressRace::AddressRace(std::vector<SocketAddress> addresses, Timing timing, std::function<bool()> abandon)
    : addresses_(std::move(addresses)), timing_(timing), abandon_(std::move(abandon)), failures_(addresses_.size()) {}

void AddressRace::Fail(size_t index, const std::string& why) {
  if (!failures_[index].empty()) return;
  failures_[index] = why;
  failedOrder_.push_back(index);
  startNow_ = true;
}

bool AddressRace::OthersLeft(size_t index) const {
  for (size_t i = 0; i < failures_.size(); ++i) {
    if (i != index && failures_[i].empty()) return true;
  }
  return false;
}

std::string AddressRace::Failures() const {
  std::string text;
  for (size_t index : failedOrder_) {
    if (!text.empty()) text += "; ";
    text += BracketedAddress(addresses_[index]) + ": " + failures_[index];
  }
  return text;
}

std::optional<AddressRace::Winner> AddressRace::Start(size_t index, std::vector<Attempt>& running) {
  auto socket = CreateTcpSocket(addresses_[index].family(), true);
  if (!socket) {
    Fail(index, SystemErrorText(socket.failure()));
    return std::nullopt;
  }
  auto begun = BeginConnect(socket.value().get(), addresses_[index]);
  if (!begun) {
    Fail(index, SystemErrorText(begun.failure()));
  } else if (begun.value() && SetNonBlocking(socket.value().get(), false)) {
    return Winner{std::move(socket.value()), index};
  } else {
    running.push_back({index, std::move(socket.value()), std::chrono::steady_clock::now() + timing_.connect});
  }
  return std::nullopt;
}

std::optional<AddressRace::Winner> AddressRace::AwaitAny(std::vector<Attempt>& running, std::chrono::milliseconds wait) {
  std::vector<int> fds;
  for (const Attempt& attempt : running) fds.push_back(attempt.socket.get());
  auto ready = WaitAnyWritable(fds, static_cast<int>(wait.count()));
  if (!ready || ready.value() == fds.size()) return std::nullopt;
  Attempt& done = running[ready.value()];
  Status outcome = ConnectOutcome(done.socket.get());
  if (outcome && SetNonBlocking(done.socket.get(), false)) return Winner{std::move(done.socket), done.index};
  Fail(done.index, SystemErrorText(outcome ? SystemError{errno} : outcome.failure()));
  running.erase(running.begin() + static_cast<long>(ready.value()));
  return std::nullopt;
}

void AddressRace::Expire(std::vector<Attempt>& running) {
  auto now = std::chrono::steady_clock::now();
  for (auto it = running.begin(); it != running.end();) {
    if (it->deadline > now) {
      ++it;
      continue;
    }
    Fail(it->index, SystemErrorText(SystemError{ETIMEDOUT}));
    it = running.erase(it);
  }
}

std::optional<AddressRace::Winner> AddressRace::Connect() {
  std::vector<size_t> queue;
  for (size_t i = 0; i < addresses_.size(); ++i) {
    if (failures_[i].empty()) queue.push_back(i);
  }
  std::vector<Attempt> running;  // the losers are closed as this goes out of scope
  size_t next = 0;
  auto nextStart = std::chrono::steady_clock::now();
  for (;;) {
    if (abandon_ && abandon_()) return std::nullopt;
    if (next < queue.size() && (running.empty() || startNow_ || std::chrono::steady_clock::now() >= nextStart)) {
      startNow_ = false;
      if (auto won = Start(queue[next++], running)) return won;
      nextStart = std::chrono::steady_clock::now() + timing_.stagger;
      continue;
    }
    if (running.empty()) return std::nullopt;
    auto wait = kAbandonSlice;
    for (const Attempt& attempt : running) wait = std::min(wait, Until(attempt.deadline));
    if (next < queue.size()) wait = std::min(wait, Until(nextStart));
    if (auto won = AwaitAny(running, wait)) return won;
    Expire(running);
  }
}

}  // namespace vellomar

