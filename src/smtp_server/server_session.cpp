#include "smtp_server/server_session.h"

#include <fcntl.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>

#include "common/app_directory.h"
#include "common/flags.h"
#include "common/system_error.h"
#include "control/main_window.h"
#include "platform/file_system.h"
#include "platform/wake_event.h"
#include "smtp_server/mail_date_text.h"
#include "smtp_server/session_commands.h"
#include "spool/spool_lists.h"

namespace vellomar {

namespace {

// A longer command line is a peer we cannot trust, and could never be read back from the
// spool file in one piece.
constexpr size_t kMaxCommandLine = 1000;
constexpr size_t kCommandReceiveSize = 255;

std::atomic<int64_t> defaultReadWaitMs{10000};

enum class Ending { Success, Failed, OpenFailure };

void EndSession(SessionRun& run, Ending ending) {
  ServerSession& session = run.session;
  (void)run.spool.Close();  // a stored message was synced before its 250; a partial one goes
  run.connection.Close();
  bool released;
  if (ending == Ending::Success) {
    {
      std::lock_guard<std::mutex> guard(IncomingLock());
      IncomingRegistry().RemoveWorker(session.spoolName);
    }
    ++run.window.receivedAll;
    ++run.window.receivedOk;
    std::lock_guard<std::mutex> guard(QueueLock());
    released = TheQueueList().Discard(session.spoolName, false);
  } else {
    {
      // A file this session did not create is not its to delete.
      std::lock_guard<std::mutex> guard(QueueLock());
      TheQueueList().Discard(session.spoolName, ending == Ending::Failed);
    }
    {
      std::lock_guard<std::mutex> guard(IncomingLock());
      IncomingRegistry().RemoveWorker(session.spoolName);
    }
    ++run.window.receivedAll;
    released = false;
  }
  SessionEnded().Notify();
  if (released) run.window.StartClient();
}

bool Greet(SessionRun& run) {
  return SendReply(run, "220 vesk Vellomar 0.2 ready at " + MailDateText() + "\r\n");
}

Ending CommandLoop(SessionRun& run) {
  std::string line;
  for (;;) {
    if (!ReadCommand(run, line)) return Ending::Failed;
    if (stopRequested.load()) return Ending::Failed;
    PublishSummary(run);
    switch (DispatchCommand(run, line)) {
      case CommandOutcome::Continue:
        break;
      case CommandOutcome::Quit:
        return Ending::Success;
      case CommandOutcome::Failed:
        return Ending::Failed;
    }
  }
}

}  // namespace

WakeEvent& SessionEnded() {
  static WakeEvent event(stopRequested);
  return event;
}

std::chrono::milliseconds DefaultReadWait() { return std::chrono::milliseconds(defaultReadWaitMs.load()); }

void SetDefaultReadWait(std::chrono::milliseconds wait) { defaultReadWaitMs = wait.count(); }

int SessionThread(ServerSession session, MainWindow& window) {
  FileDescriptor socket = std::move(session.socket);
  SessionRun run{std::move(session), window, Connection(std::move(socket)), FileDescriptor(), Greeted};
  // Created exclusively: the name was checked free under QueueLock, so a file already
  // there belongs to someone else and must not be truncated.
  auto spool = OpenFile(AppFilePath(run.session.spoolName), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (!spool) {
    ShowSystemError(spool.error());
    EndSession(run, Ending::OpenFailure);
    return 0;
  }
  run.spool = std::move(spool.value());
  EndSession(run, Greet(run) ? CommandLoop(run) : Ending::Failed);
  return 0;
}

bool ReadCommand(SessionRun& run, std::string& line) {
  line.clear();
  char buffer[kCommandReceiveSize];
  while (line.find('\n') == std::string::npos) {
    auto got = run.connection.Receive(buffer, sizeof buffer, run.session.readWait);
    if (!got || got.value() == 0) return false;
    // Command lines are text: whatever follows a NUL byte in a receive is dropped.
    const void* nul = std::memchr(buffer, '\0', got.value());
    line.append(buffer, nul ? static_cast<const char*>(nul) - buffer : got.value());
    if (stopRequested.load()) return false;
    if (line.size() > kMaxCommandLine) return false;
  }
  return line.size() >= 4;
}

bool SendReply(SessionRun& run, std::string_view reply) { return run.connection.SendOnce(reply); }

bool AppendToSpool(SessionRun& run, std::string_view data) {
  return WriteAll(run.spool.get(), data.data(), data.size()).ok();
}

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
