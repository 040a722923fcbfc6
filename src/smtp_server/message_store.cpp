#include "smtp_server/message_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>

#include "common/app_directory.h"
#include "common/system_error.h"
#include "common/window_services.h"
#include "platform/file_system.h"
#include "spool/spool_lists.h"

namespace vellomar {

namespace {

constexpr std::string_view kQuitLine = "QUIT\r\n";

bool Stored(SessionRun& run, Status status) {
  if (status) return true;
  StorageFault(run, status.failure());
  return false;
}

}  // namespace

bool CreateMessageFile(SessionRun& run) {
  const std::string& name = run.session.spoolName;
  auto spool = OpenFile(AppFilePath(name), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (!spool) {
    run.window.AppendLog("Error : can't create spool file " + name + ": " + SystemErrorText(spool.failure()));
    ShowSystemError(spool.failure());
    return false;
  }
  run.spool = std::move(spool.value());
  run.fileOurs = true;
  return true;
}

bool StartNextMessage(SessionRun& run) {
  std::string name;
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    name = TheQueueList().NewSpoolName(true);
  }
  {
    std::lock_guard<std::mutex> guard(IncomingLock());
    IncomingRegistry().RenameWorker(run.session.spoolName, name);
  }
  run.session.spoolName = name;
  run.nameHeld = true;
  run.session.summary = MailSummary{};
  if (!CreateMessageFile(run)) {
    run.farewell = kCannotStore;
    return false;
  }
  if (!AppendOrFault(run, run.heloLine)) return false;
  run.session.summary.size = SpoolLength(run);
  return true;
}

bool ResetMessage(SessionRun& run) {
  run.transactionOpen = false;
  run.session.summary = MailSummary{};
  if (!run.fileOurs) return true;
  Status status = TruncateFile(run.spool.get(), 0);
  if (status) {
    auto at = SeekTo(run.spool.get(), 0);
    if (!at) status = FailWith(at.failure());
  }
  if (status) status = AppendToSpool(run, run.heloLine);
  run.session.summary.size = SpoolLength(run);
  return Stored(run, status);
}

bool CommitMessage(SessionRun& run) {
  if (!AppendOrFault(run, kQuitLine)) return false;
  run.session.summary.size = SpoolLength(run);
  Status status = SyncFile(run.spool.get());
  if (status) status = run.spool.Close();
  // The file's name must survive a crash as well as its content.
  if (status) status = SyncDirectory(GetAppDirectory());
  if (!Stored(run, status)) return false;
  run.fileOurs = false;
  run.transactionOpen = false;
  ++run.committed;
  ++run.window.receivedAll;
  ++run.window.receivedOk;
  bool released;
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    released = TheQueueList().Discard(run.session.spoolName, false);
  }
  run.nameHeld = false;
  if (released) run.window.StartClient();
  return true;
}

bool AppendOrFault(SessionRun& run, std::string_view data) { return Stored(run, AppendToSpool(run, data)); }

void StorageFault(SessionRun& run, SystemError error) {
  run.window.AppendLog("Error : can't write spool file " + run.session.spoolName + ": " + SystemErrorText(error));
  (void)SendReply(run, "452 4.3.1 Insufficient system storage\r\n");  // the session ends either way
  run.farewell = kCannotStore;
}

}  // namespace vellomar
