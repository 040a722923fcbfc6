#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vellomar {

class RelayServices;
class RelaySessions;
class SpoolFile;
struct Hop;
struct RelaySession;
struct Settings;

// One pending recipient line of a spool file and where its state letter is.
struct PendingRecipient {
  std::string line;
  off_t position = 0;
};

// What delivering a message's recipients over a kept session needs: the account's values,
// its hop (a next relay) and the limits on its connections.
struct SessionPlan {
  const Settings& settings;
  const Hop& hop;
  RelaySessions& sessions;
  std::string key;
  int messagesPerConnection = 1;
  int connectionsAtOnce = 0;
};

// What became of it.
struct SessionOutcome {
  // The opening took a turn that only the dialogue of one recipient at a time handles (TLS
  // that failed where the clear is allowed): nothing was recorded, the caller goes that way.
  bool useSingle = false;
  // The session was kept for the next message; the caller reclaims it (RelaySessions::Reclaim)
  // once its own file is settled, and closes it when nobody took it up.
  std::optional<uint64_t> kept;
};

// The message's pending recipients in one SMTP transaction on a session to the plan's next
// relay: a session kept by an earlier message when there is one, else a new connection
// (greeted, protected and logged in as the hop's security asks), within the cap on
// connections at once. MAIL with the stored sender, a RCPT for each recipient, the stored data;
// each recipient's state letter is written, one by one, after the reply that settles it
// (its RCPT's refusal, or the reply to the end of the data), exactly as if it had had a
// transaction of its own. A session that broke settles nothing that was not answered. A kept
// session that turns out closed is replaced by a new connection once.
SessionOutcome DeliverOverSession(RelayServices& relay, SpoolFile& file, const std::string& spoolName,
                                  const SessionPlan& plan, const std::vector<PendingRecipient>& recipients);

// Ends a session nobody took up: QUIT, its reply awaited briefly, closed, its place released.
void CloseSession(RelayServices& relay, RelaySessions& sessions, const std::string& key,
                  std::unique_ptr<RelaySession> session);

}  // namespace vellomar
