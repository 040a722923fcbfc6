#include "smtp_server/server_session.h"

#include <algorithm>
#include <memory>

#include "common/version.h"
#include "platform/socket.h"
#include "platform/thread_tracker.h"
#include "platform/wake_event.h"
#include "smtp_server/mail_date_text.h"
#include "smtp_server/session.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

// A longer command line is a peer we cannot trust, and could never be read back from the
// spool file in one piece.
constexpr size_t kMaxCommandLine = 1000;
// Large enough that a big message costs few receives (each is a poll and a recv), small
// enough for a session thread's stack.
constexpr size_t kReceiveSize = 64 * 1024;
// A silent client's wait is cut into pieces this long, so that a stop is answered with a 421
// in time and a listener that became busy shortens the wait.
constexpr std::chrono::milliseconds kLookAgain{1000};

constexpr std::string_view kTimedOut = "421 4.4.2 Timeout, closing connection\r\n";
constexpr std::string_view kShuttingDown = "421 4.3.2 Shutting down\r\n";
constexpr std::string_view kTooManyErrors = "421 4.7.0 Too many errors\r\n";
constexpr std::string_view kLineTooLong = "500 5.5.6 Line too long\r\n";

using Clock = std::chrono::steady_clock;

void LeaveRegistry(Session& session) { session.relay.incoming.RemoveWorker(session.message.name()); }

// The end of a session whose messages were all handed over, each committed by the message
// writer, which counted it, released its name and woke the dispatcher. What is left: a file
// begun by a later MAIL and rolled back by RSET, the connection, the registry entry.
void SuccessfulEnding(Session& session) {
  session.message.Drop();
  session.connection.Close();
  LeaveRegistry(session);
  session.relay.sessionEnded.Notify();
}

// Every other end: the connection closed, the unfinished message's file deleted and its name
// released, the registry entry gone, the reception counted as failed.
void FailedEnding(Session& session) {
  session.connection.Close();
  session.message.Drop();
  LeaveRegistry(session);
  ++session.relay.counters.receivedAll;
  session.relay.sessionEnded.Notify();
}

bool Greet(Session& session) {
  const std::string date = MailDateText(session.relay.LocalNow());
  return SendReply(session, "220 vesk Vellomar " VELLOMAR_VERSION " ready at " + date + "\r\n");
}

// True when the client ended the session with QUIT.
bool CommandLoop(Session& session) {
  std::string line;
  for (;;) {
    LineRead read = ReadCommand(session, line);
    if (read == LineRead::Ended) return false;
    if (session.relay.stop().load()) {
      session.farewell = kShuttingDown;
      return false;
    }
    PublishSummary(session);
    CommandOutcome outcome = read == LineRead::TooLong ? Refuse(session, kLineTooLong) : DispatchCommand(session, line);
    if (outcome != CommandOutcome::Continue) return outcome == CommandOutcome::Quit;
    if (session.errors >= kMaxErrors) {
      session.farewell = kTooManyErrors;
      return false;
    }
  }
}

// Every end but QUIT is announced, as long as the client can still be reached.
void SayFarewell(Session& session) {
  if (!session.peerGone) (void)SendReply(session, session.farewell);  // the session ends either way
}

// More than the waits of the current load allow: RFC 5321's minutes while the listener has
// room, the short busy wait once three quarters of Input are in use.
bool ReceptionBusy(RelayServices& relay) {
  size_t sessions = relay.incoming.size();
  return static_cast<int64_t>(sessions) * 4 >= static_cast<int64_t>(relay.settings()->Input) * 3;
}

// Rounded up: a wait is over only once its time has passed, not a fraction of a millisecond
// before.
std::chrono::milliseconds Remaining(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

// What the listener's thread hands to a session's thread.
struct Handover {
  FileDescriptor socket;
  std::string clientAddress;
  SessionLimits limits;
  RelayPolicy policy;
  std::string spoolName;
  SessionPort port;
  int64_t maxSize;
};

// TLS from the first byte, before the greeting. A client that does not complete it cannot be
// told anything: it leaves without a farewell.
bool ImplicitTls(Session& session) {
  if (!session.port.implicitTls) return true;
  if (!session.port.tls) {
    session.peerGone = true;
    return false;
  }
  TlsOutcome outcome = session.connection.AcceptTls(*session.port.tls, session.limits.commandTime);
  if (outcome.ok()) {
    session.policy.TlsStarted();
    return true;
  }
  session.relay.AppendLog("TLS handshake with " + session.clientAddress + " failed: " + outcome.reason);
  session.peerGone = true;
  return false;
}

// The greeting, the command loop and the ending.
void RunSession(Session& session) {
  // A client that never reads its replies must not hold this thread: a send that cannot go
  // on for this long fails, and the session ends. The call fails only for a bad descriptor.
  (void)SetSendTimeout(session.connection.fd(), std::max(session.limits.sendWait, std::chrono::milliseconds(1)));
  bool quit = false;
  if (!session.message.Create()) {
    session.farewell = kCannotStore;
  } else if (ImplicitTls(session) && Greet(session)) {
    quit = CommandLoop(session);
  }
  if (!quit) SayFarewell(session);
  // A session that handed over no message, or that dropped one it had begun, failed.
  if (session.committed > 0 && !session.transactionOpen) {
    SuccessfulEnding(session);
  } else {
    FailedEnding(session);
  }
}

}  // namespace

bool StartSession(RelayServices& relay, FileDescriptor accepted, std::string clientAddress, RelayPolicy policy,
                  SessionPort port) {
  const std::string name = relay.queue.NewSpoolName(true);
  if (auto observe = relay.sessionStartObserver.Get()) observe(clientAddress, name, accepted.get());
  auto handover = std::make_shared<Handover>(Handover{std::move(accepted), std::move(clientAddress),
                                                      relay.timings.session, std::move(policy), name, std::move(port),
                                                      relay.settings()->MaxSize});
  auto thread = relay.incoming.Launch(name, [&relay, handover] {
    return relay.threads().Run([&relay, handover](ThreadHandle&) {
      Session session(relay, std::move(handover->socket), std::move(handover->clientAddress), handover->limits,
                      std::move(handover->policy), std::move(handover->spoolName), std::move(handover->port),
                      handover->maxSize);
      try {
        RunSession(session);
      } catch (...) {
        // The reception's last guard: its client is dropped, its unfinished message with it.
        relay.AppendLog("Error : reception " + session.message.name() +
                        " ended by an unexpected fault: " + CurrentExceptionText());
        FailedEnding(session);
      }
      return 0;
    });
  });
  if (thread) return true;
  (void)handover->socket.Close();  // the client is dropped; nothing to learn from the close
  (void)relay.queue.Discard(name, true);  // nothing was written under the name
  return false;
}

bool AwaitBytes(Session& session, std::string& into, std::chrono::milliseconds idleWait, Clock::time_point deadline) {
  const Clock::time_point since = Clock::now();
  // Silence this short is allowed whatever the load, so a client that keeps sending never
  // makes the session ask for it.
  const auto anyLoad = std::min(idleWait, session.limits.busyWait);
  char buffer[kReceiveSize];
  for (;;) {
    if (session.relay.stop().load()) {
      session.farewell = kShuttingDown;
      return false;
    }
    auto allowed = Clock::now() - since < anyLoad   ? anyLoad
                   : ReceptionBusy(session.relay) ? session.limits.busyWait
                                                  : idleWait;
    auto left = Remaining(std::min(since + allowed, deadline));
    if (left.count() == 0) {
      session.farewell = kTimedOut;
      return false;
    }
    auto got = session.connection.Receive(buffer, sizeof buffer, std::min(left, kLookAgain));
    if (got && got.value() > 0) {
      into.append(buffer, got.value());
      return true;
    }
    if (got || got.error() != ETIMEDOUT) {
      session.peerGone = true;
      return false;
    }
  }
}

LineRead ReadCommand(Session& session, std::string& line) {
  const SessionLimits& limits = session.limits;
  // Bytes already pending are the start of this line: its time runs from now.
  Clock::time_point lineEnd = session.pending.empty() ? Clock::time_point::max() : Clock::now() + limits.commandTime;
  bool tooLong = false;
  size_t feed;
  while ((feed = session.pending.find('\n')) == std::string::npos) {
    // A line too long to store is read to its end and dropped, holding no more of it.
    if (session.pending.size() > kMaxCommandLine) {
      tooLong = true;
      session.pending.clear();
    }
    const bool waitingForFirst = session.pending.empty() && !tooLong;
    if (!AwaitBytes(session, session.pending, limits.commandWait, lineEnd)) return LineRead::Ended;
    // Once its first byte came, the whole line must follow within the command time.
    if (waitingForFirst) lineEnd = Clock::now() + limits.commandTime;
  }
  tooLong = tooLong || feed + 1 > kMaxCommandLine;
  if (!tooLong) line.assign(session.pending, 0, feed + 1);
  session.pending.erase(0, feed + 1);
  return tooLong ? LineRead::TooLong : LineRead::Line;
}

bool SendReply(Session& session, std::string_view reply) {
  // Under TLS a reply may take more than one send of the socket; the same limit holds.
  bool sent = session.connection.IsEncrypted()
                  ? session.connection.Send(reply, std::max(session.limits.sendWait, std::chrono::milliseconds(1))).ok()
                  : session.connection.SendOnce(reply);
  if (sent) return true;
  session.peerGone = true;
  return false;
}

CommandOutcome Answer(Session& session, std::string_view reply) {
  return SendReply(session, reply) ? CommandOutcome::Continue : CommandOutcome::Failed;
}

std::string Session::SizeRefusal() const {
  if (MessageLimit() == maxSize) return std::string(kSizeExceeded);
  return "552 5.3.4 Message too large for Microsoft Graph, which takes at most " + std::to_string(accountLimit) +
         " bytes\r\n";
}

CommandOutcome Refuse(Session& session, std::string_view reply) {
  ++session.errors;
  return Answer(session, reply);
}

bool Stored(Session& session, const Status& status) {
  if (status) return true;
  (void)SendReply(session, "452 4.3.1 Insufficient system storage\r\n");  // the session ends either way
  session.farewell = kCannotStore;
  return false;
}

void PublishSummary(Session& session) {
  session.relay.incoming.UpdateSummary(session.message.name(), session.summary);
}

}  // namespace vellomar
