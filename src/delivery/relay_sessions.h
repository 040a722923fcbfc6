#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "delivery/reply_reader.h"
#include "platform/connection.h"

namespace vellomar {

struct Hop;
struct Settings;

// An SMTP session opened at a next relay (greeted, protected and logged in) between two
// messages: ready for the next MAIL.
struct RelaySession {
  std::unique_ptr<Connection> connection = std::make_unique<Connection>();
  ReplyReader replies;
  // What its EHLO reply offered of the MAIL parameters.
  bool offersSize = false;
  bool offers8BitMime = false;
  // Transactions begun on it so far.
  int messages = 0;
};

// The connections of one relay's deliveries to each next relay, by hop key (SessionKey): how many are open at once, capped where a provider limits them, and the sessions a
// worker left open for the next message. A worker that leaves a session waits a moment for
// another to take it up (Reclaim) and otherwise closes it itself, so no session outlives its
// worker by more than that moment and none is ever left without an owner.
//
// Lock contract: one lock over the counts and the kept sessions, held only to look at or
// change them, never across network I/O, and no other lock taken under it (the stop is asked,
// and a connection handed to another thread's cancel hook, outside it); waits are on its
// condition in short steps.
class RelaySessions {
 public:
  struct Lease {
    enum class Kind {
      Kept,      // `session` is open and ready for MAIL
      New,       // the caller may open a connection (and must Release it when it closes)
      Abandoned  // the stop came or the wait ran out: no connection may be opened
    };
    Kind kind = Kind::Abandoned;
    std::unique_ptr<RelaySession> session;
  };
  using Abandon = std::function<bool()>;

  // A session kept for `key`, or the right to open one while fewer than `cap` are open (0: no
  // cap); otherwise waits, at most `wait`, for one of those.
  Lease Acquire(const std::string& key, int cap, std::chrono::milliseconds wait, const Abandon& abandon);
  // Keeps the session for the next message to `key`; its connection stays counted. The
  // ticket names it for Reclaim.
  uint64_t Keep(const std::string& key, std::unique_ptr<RelaySession> session);
  // The kept session back when nobody took it up within `linger` (the caller closes it and
  // releases its place), null when another worker did.
  std::unique_ptr<RelaySession> Reclaim(const std::string& key, uint64_t ticket, std::chrono::milliseconds linger,
                                       const Abandon& abandon);
  // A connection to `key` was closed.
  void Release(const std::string& key);

  // Connections open to `key` now, kept ones included.
  int OpenCount(const std::string& key) const;

 private:
  struct Kept {
    uint64_t ticket;
    std::unique_ptr<RelaySession> session;
  };
  struct Server {
    int open = 0;
    std::vector<Kept> kept;
  };

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::map<std::string, Server> servers_;
  uint64_t nextTicket_ = 1;
};

// How many messages one connection to the hop carries: `MessagesPerConnection` when set; else
// 100 to a next relay reached with TLS or a login, where each new connection costs a handshake
// and a login, and 1 (a connection per recipient, the stored dialogue as it is) otherwise.
int MessagesPerConnectionFor(const Settings& settings, const Hop& hop);
// How many connections to the hop may be open at once: `ConnectionsPerRelay` when set; else 4
// to a next relay with a login, whose provider limits them; else 0 (no cap but `Output`).
int ConnectionsPerRelayFor(const Settings& settings, const Hop& hop);
// The key the hop's connections are counted and kept under: one account's connections to one
// server, opened as the hop says (port, TLS, certificate check, user, the secret's source and
// the sign-in), so that a session opened under values since changed is never lent again.
std::string SessionKey(const std::string& account, const Hop& hop);

}  // namespace vellomar
