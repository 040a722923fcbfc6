#include "smtp_server/server_session.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>

#include "common/app_directory.h"
#include "common/flags.h"
#include "common/settings.h"
#include "common/system_error.h"
#include "common/version.h"
#include "common/window_services.h"
#include "platform/file_system.h"
#include "platform/socket.h"
#include "platform/wake_event.h"
#include "smtp_server/mail_date_text.h"
#include "smtp_server/message_store.h"
#include "smtp_server/session_commands.h"
#include "spool/spool_lists.h"

namespace vellomar {

namespace {

// A longer command line is a peer we cannot trust, and could never be read back from the
// spool file in one piece.
constexpr size_t kMaxCommandLine = 1000;
constexpr size_t kReceiveSize = 4096;
// A silent client's wait is cut into pieces this long, so that a stop is answered with a 421
// in time and a listener that became busy shortens the wait.
constexpr std::chrono::milliseconds kLookAgain{1000};

constexpr std::string_view kTimedOut = "421 4.4.2 Timeout, closing connection\r\n";
constexpr std::string_view kShuttingDown = "421 4.3.2 Shutting down\r\n";
constexpr std::string_view kTooManyErrors = "421 4.7.0 Too many errors\r\n";
constexpr std::string_view kLineTooLong = "500 5.5.6 Line too long\r\n";

using Clock = std::chrono::steady_clock;

// Drops what the session began and did not commit: the file it created is deleted and the
// name it reserved released. A file this session did not create is not its to delete.
void DropUncommitted(SessionRun& run) {
  (void)run.spool.Close();  // the file is deleted or was never written; its close result is moot
  if (!run.nameHeld) return;
  const std::string& name = run.session.spoolName;
  Status removed = Ok();
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    if (run.fileOurs) removed = RemoveFile(AppFilePath(name));
    // A half-received message must never be taken for delivery: while its file is there its
    // name stays reserved, and the clean-up at the next start removes it.
    if (removed || removed.error() == ENOENT) {
      (void)TheQueueList().Discard(name, false);  // the name alone: it cannot fail to go
      return;
    }
  }
  run.window.AppendLog("Error : can't remove incomplete spool file " + name + ": " + SystemErrorText(removed.failure()));
}

void LeaveRegistry(SessionRun& run) {
  std::lock_guard<std::mutex> guard(IncomingLock());
  IncomingRegistry().RemoveWorker(run.session.spoolName);
}

// The end of a session whose messages were all handed over, each by CommitMessage, which
// closed its file, counted it, released its name and woke the dispatcher. What is left: a
// file begun by a later MAIL and rolled back by RSET, the connection, the registry entry.
void SuccessfulEnding(SessionRun& run) {
  DropUncommitted(run);
  run.connection.Close();
  LeaveRegistry(run);
  SessionEnded().Notify();
}

// Every other end: the connection closed, the unfinished message's file deleted and its name
// released, the registry entry gone, the reception counted as failed.
void FailedEnding(SessionRun& run) {
  run.connection.Close();
  DropUncommitted(run);
  LeaveRegistry(run);
  ++run.window.receivedAll;
  SessionEnded().Notify();
}

bool Greet(SessionRun& run) {
  return SendReply(run, "220 vesk Vellomar " VELLOMAR_VERSION " ready at " + MailDateText() + "\r\n");
}

// True when the client ended the session with QUIT.
bool CommandLoop(SessionRun& run) {
  std::string line;
  for (;;) {
    LineRead read = ReadCommand(run, line);
    if (read == LineRead::Ended) return false;
    if (stopRequested.load()) {
      run.farewell = kShuttingDown;
      return false;
    }
    PublishSummary(run);
    CommandOutcome outcome = read == LineRead::TooLong ? Refuse(run, kLineTooLong) : DispatchCommand(run, line);
    if (outcome != CommandOutcome::Continue) return outcome == CommandOutcome::Quit;
    if (run.errors >= kMaxErrors) {
      run.farewell = kTooManyErrors;
      return false;
    }
  }
}

// Every end but QUIT is announced, as long as the client can still be reached.
void SayFarewell(SessionRun& run) {
  if (!run.peerGone) (void)SendReply(run, run.farewell);  // the session ends either way
}

// More than the waits of the current load allow: RFC 5321's minutes while the listener has
// room, the short busy wait once three quarters of Input are in use.
bool ReceptionBusy() {
  size_t sessions;
  {
    std::lock_guard<std::mutex> guard(IncomingLock());
    sessions = IncomingRegistry().size();
  }
  return static_cast<int64_t>(sessions) * 4 >= static_cast<int64_t>(TheSettings().Input.load()) * 3;
}

// Rounded up: a wait is over only once its time has passed, not a fraction of a millisecond
// before.
std::chrono::milliseconds Remaining(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

}  // namespace

WakeEvent& SessionEnded() {
  static WakeEvent event(stopRequested);
  return event;
}

int SessionThread(ServerSession session, WindowServices& window) {
  FileDescriptor socket = std::move(session.socket);
  SessionRun run(std::move(session), window, std::move(socket));
  // A client that never reads its replies must not hold this thread: a send that cannot go
  // on for this long fails, and the session ends. The call fails only for a bad descriptor.
  (void)SetSendTimeout(run.connection.fd(), std::max(run.session.limits.sendWait, std::chrono::milliseconds(1)));
  bool quit = false;
  if (!CreateMessageFile(run)) {
    run.farewell = kCannotStore;
  } else if (Greet(run)) {
    quit = CommandLoop(run);
  }
  if (!quit) SayFarewell(run);
  // A session that handed over no message, or that dropped one it had begun, failed.
  if (run.committed > 0 && !run.transactionOpen) {
    SuccessfulEnding(run);
  } else {
    FailedEnding(run);
  }
  return 0;
}

bool AwaitBytes(SessionRun& run, std::string& into, std::chrono::milliseconds idleWait, Clock::time_point deadline) {
  const Clock::time_point since = Clock::now();
  // Silence this short is allowed whatever the load, so a client that keeps sending never
  // makes the session ask for it.
  const auto anyLoad = std::min(idleWait, run.session.limits.busyWait);
  char buffer[kReceiveSize];
  for (;;) {
    if (stopRequested.load()) {
      run.farewell = kShuttingDown;
      return false;
    }
    auto allowed = Clock::now() - since < anyLoad ? anyLoad
                   : ReceptionBusy()              ? run.session.limits.busyWait
                                                  : idleWait;
    auto left = Remaining(std::min(since + allowed, deadline));
    if (left.count() == 0) {
      run.farewell = kTimedOut;
      return false;
    }
    auto got = run.connection.Receive(buffer, sizeof buffer, std::min(left, kLookAgain));
    if (got && got.value() > 0) {
      into.append(buffer, got.value());
      return true;
    }
    if (got || got.error() != ETIMEDOUT) {
      run.peerGone = true;
      return false;
    }
  }
}

LineRead ReadCommand(SessionRun& run, std::string& line) {
  const SessionLimits& limits = run.session.limits;
  // Bytes already pending are the start of this line: its time runs from now.
  Clock::time_point lineEnd = run.pending.empty() ? Clock::time_point::max() : Clock::now() + limits.commandTime;
  bool tooLong = false;
  size_t feed;
  while ((feed = run.pending.find('\n')) == std::string::npos) {
    // A line too long to store is read to its end and dropped, holding no more of it.
    if (run.pending.size() > kMaxCommandLine) {
      tooLong = true;
      run.pending.clear();
    }
    const bool waitingForFirst = run.pending.empty() && !tooLong;
    if (!AwaitBytes(run, run.pending, limits.commandWait, lineEnd)) return LineRead::Ended;
    // Once its first byte came, the whole line must follow within the command time.
    if (waitingForFirst) lineEnd = Clock::now() + limits.commandTime;
  }
  tooLong = tooLong || feed + 1 > kMaxCommandLine;
  if (!tooLong) line.assign(run.pending, 0, feed + 1);
  run.pending.erase(0, feed + 1);
  return tooLong ? LineRead::TooLong : LineRead::Line;
}

bool SendReply(SessionRun& run, std::string_view reply) {
  if (run.connection.SendOnce(reply)) return true;
  run.peerGone = true;
  return false;
}

CommandOutcome Answer(SessionRun& run, std::string_view reply) {
  return SendReply(run, reply) ? CommandOutcome::Continue : CommandOutcome::Failed;
}

CommandOutcome Refuse(SessionRun& run, std::string_view reply) {
  ++run.errors;
  return Answer(run, reply);
}

Status AppendToSpool(SessionRun& run, std::string_view data) { return WriteAll(run.spool.get(), data.data(), data.size()); }

int32_t SpoolLength(SessionRun& run) {
  auto length = FileLength(run.spool.get());
  if (!length) return run.session.summary.size;
  return length.value() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length.value());
}

void PublishSummary(SessionRun& run) {
  std::lock_guard<std::mutex> guard(IncomingLock());
  IncomingRegistry().UpdateSummary(run.session.spoolName, run.session.summary);
}

}  // namespace vellomar
