#include "delivery/relay_sessions.h"

#include <algorithm>

#include "common/settings.h"
#include "sign_in/oauth_tokens.h"
#include "delivery/route.h"
#include "platform/crypto.h"

namespace vellomar {

namespace {

// Waits are cut into steps this long so that a stop is seen without a hook of its own.
constexpr std::chrono::milliseconds kStep{50};

}  // namespace

RelaySessions::Lease RelaySessions::Acquire(const std::string& key, int cap, std::chrono::milliseconds wait,
                                            const Abandon& abandon) {
  auto deadline = std::chrono::steady_clock::now() + wait;
  Lease lease;
  // The stop is asked, and a kept connection taken over, outside the lock: its thread's hook
  // has a lock of its own.
  while (lease.kind == Lease::Kind::Abandoned && !abandon()) {
    std::unique_lock<std::mutex> guard(lock_);
    Server& server = servers_[key];
    if (!server.kept.empty()) {
      // The one kept last: the least likely to have been closed by its server meanwhile.
      lease = Lease{Lease::Kind::Kept, std::move(server.kept.back().session)};
      server.kept.pop_back();
    } else if (cap <= 0 || server.open < cap) {
      ++server.open;
      lease.kind = Lease::Kind::New;
    } else if (std::chrono::steady_clock::now() >= deadline) {
      break;
    } else {
      changed_.wait_for(guard, kStep);
    }
  }
  if (lease.session) lease.session->connection->Rewatch();
  return lease;
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
  std::unique_ptr<RelaySession> session;
  for (bool last = false; !session;) {
    last = last || abandon();
    std::unique_lock<std::mutex> guard(lock_);
    std::vector<Kept>& kept = servers_[key].kept;
    auto mine = std::find_if(kept.begin(), kept.end(), [ticket](const Kept& k) { return k.ticket == ticket; });
    if (mine == kept.end()) return nullptr;  // taken up by another worker
    if (last || std::chrono::steady_clock::now() >= deadline) {
      session = std::move(mine->session);
      kept.erase(mine);
    } else {
      changed_.wait_for(guard, kStep);
    }
  }
  session->connection->Rewatch();
  return session;
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

namespace {

// Each part with its length before it, so that no two lists of parts make the same key.
void AddPart(std::string& key, const std::string& part) { key += std::to_string(part.size()) + ":" + part; }

// Where the login's secret comes from. A password is kept in the key only as its digest.
std::string SecretSource(const NextRelaySecurity& security) {
  if (security.tokens) {
    const OAuthProvider& provider = security.tokens->provider();
    return "sign-in " + provider.key + " " + provider.tokenUrl + " " + provider.clientId + " " + provider.scope + " " +
           Sha256(provider.clientSecret);
  }
  if (!security.passwordCommand.empty()) return "command " + security.passwordCommand;
  return security.password.empty() ? "" : "password " + Sha256(security.password);
}

}  // namespace

std::string SessionKey(const std::string& account, const Hop& hop) {
  const NextRelaySecurity& security = hop.security;
  std::string key;
  for (const std::string& part :
       {account, std::to_string(static_cast<int>(hop.kind)), hop.server, std::to_string(static_cast<int>(security.tls)),
        std::to_string(static_cast<int>(security.check.mode)), security.check.host,
        NormalizeFingerprint(security.check.fingerprint), security.user, security.mechanism, SecretSource(security)}) {
    AddPart(key, part);
  }
  return key;
}

}  // namespace vellomar
