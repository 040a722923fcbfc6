#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vellomar {

class RelayServices;
class RelaySessions;
class SpoolFile;
struct Hop;
struct Settings;

// One pending recipient line of a spool file and where its state letter is.
struct PendingRecipient {
  std::string line;
  off_t position = 0;
};

// A message's delivery along one hop: the recipients it carries (one for the stored dialogue
// replayed as it is, several on a session kept for many messages), the spool file their data
// is streamed from, the sender as it goes out, and the hop with its security.
struct Delivery {
  SpoolFile& file;
  const std::string& spoolName;
  // The account's own address that the envelope sender and the From: become on the way out;
  // empty: as stored. A failure notice (null sender) is never rewritten.
  const std::string& sendAs;
  std::vector<PendingRecipient> recipients;
  const Hop& hop;
};

// What became of recipients of a delivery, as its transport learnt it.
struct RecipientOutcome {
  enum class Kind {
    Delivered,   // the next server took them
    Refused,     // refused for good: `reason` is what the sender's failure notice says
    Deferred,    // to be tried again later: `reason` is kept as their last error
    NotReached,  // out of reach, or a fault: their letters stay, `reason` is kept as their last error
  };
  // Why they were not reached, which tells the route whether another hop may do better: the
  // server's name gave no address, none of its addresses connected, it fell silent or the
  // connection broke; or a fault of the settings, a sign-in or the file that no hop mends.
  enum class Cause { Fault, NoAddress, NoConnection, Silent };
  Kind kind = Kind::Delivered;
  // The text of the reply that decided it, up to its line end; "" when no reply did (a stored
  // file that ended early, a server out of reach).
  std::string reply{};
  std::string reason{};
  // The line the reply answered: a stored QUIT line answered counts them as sent.
  std::string answered{};
  // NotReached: the log line that says why, once for all of them ("" when said already), and
  // the cause.
  std::string log{};
  Cause cause = Cause::Fault;
  // Deferred: the service asked not to be tried again before this long from now (its
  // Retry-After); 0 leaves the wait to the retry schedule.
  std::chrono::seconds retryAfter{0};
};

// Hears a delivery's outcomes as soon as they are known: a recipient refused at RCPT when its
// reply comes, those the data reached once its end is answered (before QUIT goes out), those
// not reached when the attempt ends. `which` are indexes into the delivery's recipients.
class OutcomeSink {
 public:
  virtual ~OutcomeSink() = default;
  // The transport reached its server with the delivery: each recipient counts as tried.
  virtual void Reached() = 0;
  // False when nothing more may be recorded in the file (a letter could not be written): the
  // transport ends the transaction there, leaving the rest as they are.
  virtual bool Settled(const std::vector<size_t>& which, const RecipientOutcome& outcome) = 0;
};

// How a transport's attempt ended. Recipients it said nothing about stay as they are: no
// connection could be had (the cap on connections stayed full, or the stop came), or the file
// took no more.
struct Carried {
  // A stop or a flush cut it short: nothing more is recorded.
  bool stopped = false;
  // Set when something was left open for the next message (a session): called once the
  // message's file is settled, to hand it on or close it.
  std::function<void()> release{};
};

// What a transport is made with: the relay it works for, the values of the account that sends
// (the delivery's settings snapshot), and where connections to the account's next relay are
// counted and kept for the next message (none: nothing is counted or kept).
struct TransportContext {
  RelayServices& relay;
  const Settings& settings;
  RelaySessions* sessions = nullptr;
  std::string account{};
};

// A way out for mail: carries one delivery to the hop's server (or service) and says each
// recipient's outcome to the sink, which records it. Made for one attempt, on one thread.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual Carried Carry(const Delivery& delivery, OutcomeSink& sink) = 0;
};

// The transport a hop names ("smtp"); none for a name no transport has.
std::unique_ptr<Transport> TransportFor(const std::string& name, const TransportContext& context);

}  // namespace vellomar
