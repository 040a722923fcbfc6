#include "smtp_server/server_session.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>

#include "common/system_error.h"
#include "common/version.h"
#include "spool/relay_services.h"
#include "platform/file_system.h"
#include "platform/wake_event.h"
#include "smtp_server/mail_date_text.h"
#include "smtp_server/message_store.h"
#include "smtp_server/session_commands.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

// A longer command line is a peer we cannot trust, and could never be read back from the
// spool file in one piece.
constexpr size_t kMaxCommandLine = 1000;
constexpr size_t kReceiveSize = 4096;

using Clock = std::chrono::steady_clock;

// Drops what the session began and did not commit: the file it created is deleted and the
// name it reserved released. A file this session did not create is not its to delete.
void DropUncommitted(SessionRun& run) {
  (void)run.spool.Close();  // the file is deleted or was never written; its close result is moot
  if (!run.nameHeld) return;
  const std::string& name = run.session.spoolName;
  Status removed = Ok();
  if (run.fileOurs) removed = RemoveFile(run.relay.FilePath(name));
  // A half-received message must never be taken for delivery: while its file is there its
  // name stays reserved, and the clean-up at the next start removes it.
  if (removed || removed.error() == ENOENT) {
    (void)run.relay.queue.Discard(name, false);  // the name alone: it cannot fail to go
    return;
  }
  run.relay.AppendLog("Error : can't remove incomplete spool file " + name + ": " + SystemErrorText(removed.failure()));
}

void LeaveRegistry(SessionRun& run) { run.relay.incoming.RemoveWorker(run.session.spoolName); }

// The end of a session whose messages were all handed over, each by CommitMessage, which
// closed its file, counted it, released its name and woke the dispatcher. What is left: a
// file begun by a later MAIL and rolled back by RSET, the connection, the registry entry.
void SuccessfulEnding(SessionRun& run) {
  DropUncommitted(run);
  run.connection.Close();
  LeaveRegistry(run);
  run.relay.sessionEnded.Notify();
}

// Every other end: the connection closed, the unfinished message's file deleted and its name
// released, the registry entry gone, the reception counted as failed.
void FailedEnding(SessionRun& run) {
  run.connection.Close();
  DropUncommitted(run);
  LeaveRegistry(run);
  ++run.relay.counters.receivedAll;
  run.relay.sessionEnded.Notify();
}

bool Greet(SessionRun& run) {
  return SendReply(run, "220 vesk Vellomar " VELLOMAR_VERSION " ready at " + MailDateText(run.relay.LocalNow()) + "\r\n");
}

void CommandLoop(SessionRun& run) {
  std::string line;
  for (;;) {
    if (!ReadCommand(run, line)) return;
    if (run.relay.stop().load()) return;
    PublishSummary(run);
    if (DispatchCommand(run, line) != CommandOutcome::Continue) return;
  }
}

std::chrono::milliseconds Remaining(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

}  // namespace

int SessionThread(ServerSession session, RelayServices& relay) {
  FileDescriptor socket = std::move(session.socket);
  SessionRun run(std::move(session), relay, std::move(socket));
  if (!CreateMessageFile(run)) {
    (void)SendReply(run, "421 4.3.0 Cannot store mail now\r\n");  // the session ends either way
  } else if (Greet(run)) {
    CommandLoop(run);
  }
  // A session that handed over no message, or that dropped one it had begun, failed.
  if (run.committed > 0 && !run.transactionOpen) {
    SuccessfulEnding(run);
  } else {
    FailedEnding(run);
  }
  return 0;
}

bool ReceiveMore(SessionRun& run, std::string& into, std::chrono::milliseconds wait) {
  char buffer[kReceiveSize];
  auto got = run.connection.Receive(buffer, sizeof buffer, wait);
  if (!got || got.value() == 0) return false;
  into.append(buffer, got.value());
  return true;
}

bool ReadCommand(SessionRun& run, std::string& line) {
  const SessionLimits& limits = run.session.limits;
  // Bytes already pending are the start of this line: its time runs from now.
  Clock::time_point firstByte = Clock::now();
  size_t feed;
  while ((feed = run.pending.find('\n')) == std::string::npos) {
    if (run.pending.size() > kMaxCommandLine) return false;
    // Waiting for a line's first byte is bounded by the read wait alone; once it came, the
    // whole line must follow within the command time.
    const bool waitingForFirst = run.pending.empty();
    auto wait = waitingForFirst ? limits.readWait : std::min(limits.readWait, Remaining(firstByte + limits.commandTime));
    if (wait.count() == 0) return false;
    if (!ReceiveMore(run, run.pending, wait)) return false;
    if (waitingForFirst) firstByte = Clock::now();
    if (run.relay.stop().load()) return false;
  }
  if (feed + 1 > kMaxCommandLine) return false;
  line.assign(run.pending, 0, feed + 1);
  run.pending.erase(0, feed + 1);
  return line.size() >= 4;
}

bool SendReply(SessionRun& run, std::string_view reply) { return run.connection.SendOnce(reply); }

Status AppendToSpool(SessionRun& run, std::string_view data) { return WriteAll(run.spool.get(), data.data(), data.size()); }

int32_t SpoolLength(SessionRun& run) {
  auto length = FileLength(run.spool.get());
  if (!length) return run.session.summary.size;
  return length.value() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length.value());
}

void PublishSummary(SessionRun& run) {
  run.relay.incoming.UpdateSummary(run.session.spoolName, run.session.summary);
}

}  // namespace vellomar
