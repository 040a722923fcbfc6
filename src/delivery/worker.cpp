#include "delivery/worker.h"

#include <fcntl.h>

#include <mutex>
#include <optional>

#include "common/app_directory.h"
#include "common/flags.h"
#include "common/settings.h"
#include "common/system_error.h"
#include "common/window_services.h"
#include "delivery/delivery_notes.h"
#include "delivery/failure_notice.h"
#include "delivery/message_age.h"
#include "delivery/smtp_client.h"
#include "delivery/spool_summary.h"
#include "dns/mx_resolver.h"
#include "platform/thread_handle.h"
#include "platform/wake_event.h"
#include "spool/recipient_line.h"
#include "spool/spool_file.h"
#include "spool/spool_lists.h"

namespace vellomar {

namespace {

struct Run {
  WindowServices& window;
  const std::string& name;
  SpoolFile file;
  std::string mailLine;
  MailSummary summary;
  MxResolver resolver;
  // Whole days of age when the message has outlived Lifetime: its pending recipients are given up.
  std::optional<int> expiredDays;
};

void RemoveEntry(const std::string& name) {
  std::lock_guard<std::mutex> guard(OutgoingLock());
  OutgoingRegistry().RemoveWorker(name);
}

bool DiscardFile(const std::string& name) {
  std::lock_guard<std::mutex> guard(QueueLock());
  return TheQueueList().Discard(name, true);
}

// The end of every run but a stop: the entry goes and the window follows, so that a
// dispatcher at its limit sees the place freed even while nothing is being received.
int End(Run& run, int exitCode) {
  run.window.RefreshStatistics();
  WorkerEnded().Notify();
  return exitCode;
}

int DeleteAndEnd(Run& run) {
  (void)run.file.Close();  // the file goes; its letters no longer matter
  DiscardFile(run.name);
  RemoveEntry(run.name);
  return End(run, 0);
}

// The file stays as it is and its name stays held: not tried again in this dispatcher run,
// and after the next clearing only once its retry interval has passed.
int HoldAndEnd(Run& run) {
  (void)run.file.Close();  // every letter written was synced when it was written
  RecordDeliveryTry(run.name);
  RemoveEntry(run.name);
  return End(run, 0);
}

// The next pending recipient line from the current position, within the recipients zone.
// False at the end of the zone; `line` then holds the last line read.
bool FindPendingRecipient(SpoolFile& file, std::string& line, off_t& position) {
  for (;;) {
    position = file.Tell();
    bool more = ReadLine(file, line);
    if (!more && line.empty()) return false;
    if (EndsRecipientsZone(line)) return false;
    if (IsPendingRecipientLine(line)) return true;
    if (!more) return false;
  }
}

// Deletes the file when no recipient is left pending. A file that failed a read, seek or
// write in this run is held instead: what it reads may not be what it should hold.
int FinalScan(Run& run) {
  std::string line;
  off_t position;
  bool pending = !run.file.Rewind() || FindPendingRecipient(run.file, line, position);
  if (run.file.ReadFailed() || run.file.WriteFailed()) {
    run.window.AppendLog("Error : " + run.name + " held after a failed read or write");
    return HoldAndEnd(run);
  }
  if (pending) return HoldAndEnd(run);
  (void)run.file.Close();  // the file is deleted next
  // The name goes before the entry: once no delivery is shown, a new run releases the held
  // names, and it must not release this one and hand its file to a second worker while
  // this one deletes it.
  int exitCode = static_cast<int>(DiscardFile(run.name));
  RemoveEntry(run.name);
  return End(run, exitCode);
}

// True relaying: the recipient's own exchanger, else the alternate server, else nothing.
std::string ExchangerFor(Run& run, const std::string& line) {
  std::string domain = RecipientDomain(line);
  std::string server = run.resolver.LookupMx(domain);
  if (!server.empty()) return server;
  std::string alternate = TheSettings().Alternate.Get();
  if (!alternate.empty()) {
    run.window.AppendLog("Warning : Using alternative SMTP server for domain " + domain);
  } else {
    run.window.AppendLog("Error : no MX server found for domain " + domain);
    NoteDeliveryError(run.name, line, "no mail exchanger for domain " + domain);
  }
  return alternate;
}

enum class Next { Serve, FinalScan };

// A recipient without a domain cannot be routed: it alone is given up.
Next GiveUpWithoutDomain(Run& run, const std::string& line, off_t position) {
  if (!SendFailureNotice(run.window, run.name, "no domain in recipient address", line)) return Next::FinalScan;
  return RecordRecipientState(run.window, run.file, run.name, position, 'X') ? Next::Serve : Next::FinalScan;
}

// A recipient still pending when the message has outlived Lifetime is given up, its notice
// naming the last error seen for it.
Next GiveUpExpired(Run& run, const std::string& line, off_t position) {
  std::string reason = LifetimeReason(*run.expiredDays, LastDeliveryError(run.name, line));
  if (!SendFailureNotice(run.window, run.name, reason, line)) return Next::FinalScan;
  return RecordRecipientState(run.window, run.file, run.name, position, 'X') ? Next::Serve : Next::FinalScan;
}

Next Serve(Run& run, const std::string& line, off_t position) {
  if (run.expiredDays) return GiveUpExpired(run, line, position);
  std::string server;
  if (TheSettings().REAL_RELAY) {
    if (line.find('@') == std::string::npos) return GiveUpWithoutDomain(run, line, position);
    server = ExchangerFor(run, line);
  } else {
    server = TheSettings().SMTP.Get();
  }
  bool goOn = DeliverRecipient(run.window, run.file, run.name, run.mailLine, server, line, position);
  return goOn ? Next::Serve : Next::FinalScan;
}

int RecipientLoop(Run& run) {
  std::string line;
  off_t position;
  while (!stopRequested.load()) {
    if (FlushedWhileTaken(run.name)) return DeleteAndEnd(run);
    if (!FindPendingRecipient(run.file, line, position)) {
      // Recipients counted but none pending: taken again after an interruption, all done.
      if (run.summary.recipientCount > 0 || run.file.ReadFailed()) return FinalScan(run);
      if (!SendFailureNotice(run.window, run.name, "unexpected EOF (missing recipient)", line)) return HoldAndEnd(run);
      return DeleteAndEnd(run);
    }
    if (Serve(run, line, position) == Next::FinalScan) return FinalScan(run);
  }
  // Stopped: the name stays held and the entry stays for shutdown to clear.
  (void)run.file.Close();  // every letter written was synced when it was written
  return 0;
}

void PublishSummary(Run& run) {
  run.summary = ReadSpoolSummary(run.file, run.mailLine);
  std::lock_guard<std::mutex> guard(OutgoingLock());
  OutgoingRegistry().UpdateSummary(run.name, run.summary);
}

}  // namespace

WakeEvent& WorkerEnded() {
  static WakeEvent event(stopRequested);
  return event;
}

int WorkerThread(WindowServices& window, const std::string& name) {
  // Every wait of a delivery (name lookup, connect, send, reply, DNS exchange) is on a
  // watched socket or asks StopOrCancelled, so cancelling the worker the moment the stop
  // flag is set ends whichever it is in; shutdown then never waits for a silent peer.
  ThreadHandle* self = ThreadHandle::Current();
  auto cancelAtStop = stopRequested.Subscribe([self] {
    if (self != nullptr) self->Cancel();
  });
  if (stopRequested.load() && self != nullptr) self->Cancel();
  auto opened = SpoolFile::Open(AppFilePath(name), O_RDWR);
  if (!opened) {
    // The file is kept and its name stays held: it is tried again after the next clearing.
    ShowSystemError(opened.failure());
    RemoveEntry(name);
    ++window.sentAll;
    window.RefreshStatistics();
    WorkerEnded().Notify();
    return 0;
  }
  Run run{window, name, std::move(opened.value()), {}, {}, MxResolver(window), std::nullopt};
  PublishSummary(run);
  run.expiredDays = PastLifetime(run.name, run.file);
  if (!run.file.Rewind()) return FinalScan(run);
  return RecipientLoop(run);
}

}  // namespace vellomar
