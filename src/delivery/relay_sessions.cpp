#include "delivery/relay_sessions.h"

#include <algorithm>

#include "common/settings.h"
#include "delivery/route.h"

namespace vellomar {

namespace {

// Waits are cut into steps this long so that a stop is seen without a hook of its own.
constexpr std::chrono::milliseconds kStep{50};

}  // namespace

RelaySessions::Lease RelaySessions::Acquire(const std::string& key, int cap, std::chrono::milliseconds wait,
                                            const Abandon& abandon) {
  auto deadline = std::chrono::steady_clock::now() + wait;
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    Server& server = servers_[key];
    if (!server.kept.empty()) {
      // The one kept last: the least likely to have been closed by its server meanwhile.
      Lease lease{Lease::Kind::Kept, std::move(server.kept.back().session)};
      server.kept.pop_back();
      lease.session->connection->Rewatch();
      return lease;
    }
    if (cap <= 0 || server.open < cap) {
      ++server.open;
      return Lease{Lease::Kind::New, nullptr};
    }
    if (abandon() || std::chrono::steady_clock::now() >= deadline) return Lease{};
    changed_.wait_for(guard, kStep);
  }
}

uint64_t RelaySessions::Keep(const std::string& key, std::unique_ptr<RelaySession> session) {
  session->connection->Unwatch();
  std::lock_guard<std::mutex> guard(lock_);
  uint64_t ticket = nextTicket_++;
  servers_[key].kept.push_back(Kept{ticket, std::move(session)});
  changed_.notify_all();
  return ticket;
}

std::unique_ptr<RelaySession> RelaySessions::Reclaim(const std::string& key, uint64_t ticket,
                                                    std::chrono::milliseconds linger, const Abandon& abandon) {
  auto deadline = std::chrono::steady_clock::now() + linger;
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    std::vector<Kept>& kept = servers_[key].kept;
    auto mine = std::find_if(kept.begin(), kept.end(), [ticket](const Kept& k) { return k.ticket == ticket; });
    if (mine == kept.end()) return nullptr;
    if (abandon() || std::chrono::steady_clock::now() >= deadline) {
      std::unique_ptr<RelaySession> session = std::move(mine->session);
      kept.erase(mine);
      session->connection->Rewatch();
      return session;
    }
    changed_.wait_for(guard, kStep);
  }
}

void RelaySessions::Release(const std::string& key) {
  std::lock_guard<std::mutex> guard(lock_);
  auto server = servers_.find(key);
  if (server == servers_.end()) return;
  server->second.open = std::max(0, server->second.open - 1);
  if (server->second.open == 0 && server->second.kept.empty()) servers_.erase(server);
  changed_.notify_all();
}

int RelaySessions::OpenCount(const std::string& key) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto server = servers_.find(key);
  return server == servers_.end() ? 0 : server->second.open;
}

int MessagesPerConnectionFor(const Settings& settings, const Hop& hop) {
  if (hop.kind != Hop::Kind::NextRelay) return 1;
  if (settings.MessagesPerConnection > 0) return settings.MessagesPerConnection;
  return hop.security.SpeaksEsmtp() ? 100 : 1;
}

int ConnectionsPerRelayFor(const Settings& settings, const Hop& hop) {
  if (settings.ConnectionsPerRelay > 0) return settings.ConnectionsPerRelay;
  bool login = !hop.security.user.empty() || hop.security.tokens != nullptr;
  return hop.kind == Hop::Kind::NextRelay && login ? 4 : 0;
}

std::string SessionKey(const std::string& account, const Hop& hop) { return account + "\n" + hop.server; }

}  // namespace vellomar
