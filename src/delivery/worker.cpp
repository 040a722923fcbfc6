#include "delivery/worker.h"

#include <fcntl.h>

#include <chrono>
#include <optional>

#include "spool/relay_services.h"
#include "common/server_address.h"
#include "delivery/account_choice.h"
#include "delivery/delivery_notes.h"
#include "delivery/delivery_services.h"
#include "delivery/failure_notice.h"
#include "delivery/message_age.h"
#include "delivery/pacing.h"
#include "delivery/relay_sessions.h"
#include "delivery/route.h"
#include "delivery/session_delivery.h"
#include "delivery/smtp_client.h"
#include "delivery/spool_summary.h"
#include "dns/mx_resolver.h"
#include "platform/thread_handle.h"
#include "spool/recipient_line.h"
#include "spool/spool_file.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

struct Run {
  RelayServices& relay;
  DeliveryServices& delivery;
  const std::string& name;
  // The settings this run started with, kept to its end.
  std::shared_ptr<const Settings> settings;
  // The values of the account that sends this message (the settings themselves for the
  // default account), chosen by its sender once the file's summary is read.
  const Settings* account = nullptr;
  std::string accountName{};
  SpoolFile file;
  std::string mailLine;
  MailSummary summary;
  MxResolver resolver;
  // Whole days of age when the message has outlived Lifetime: its pending recipients are given up.
  std::optional<int> expiredDays;
};


// The end of every run but a stop: the entry goes and the window follows, so that a
// dispatcher at its limit sees the place freed even while nothing is being received.
int End(Run& run, int exitCode) {
  run.relay.RefreshStatistics();
  run.relay.workerEnded.Notify();
  return exitCode;
}

int DeleteAndEnd(Run& run) {
  (void)run.file.Close();  // the file goes; its letters no longer matter
  (void)run.relay.queue.Discard(run.name, true);  // a file that stays is taken again and deleted then
  run.relay.outgoing.RemoveWorker(run.name);
  return End(run, 0);
}

// The file stays as it is and its name stays held: not tried again in this dispatcher run,
// and after the next clearing only once its retry interval has passed.
int HoldAndEnd(Run& run) {
  (void)run.file.Close();  // every letter written was synced when it was written
  RecordDeliveryTry(run.relay, run.name);
  run.relay.outgoing.RemoveWorker(run.name);
  return End(run, 0);
}

// Held for its account's pace: not a try, so its retry interval does not grow.
int HeldForPace(Run& run) {
  (void)run.file.Close();  // nothing was written
  run.relay.outgoing.RemoveWorker(run.name);
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
    run.relay.AppendLog("Error : " + run.name + " held after a failed read or write");
    return HoldAndEnd(run);
  }
  if (pending) return HoldAndEnd(run);
  (void)run.file.Close();  // the file is deleted next
  // The name goes before the entry: once no delivery is shown, a new run releases the held
  // names, and it must not release this one and hand its file to a second worker while
  // this one deletes it.
  int exitCode = static_cast<int>(run.relay.queue.Discard(run.name, true));
  run.relay.outgoing.RemoveWorker(run.name);
  return End(run, exitCode);
}

enum class Next { Serve, FinalScan };

// A recipient without a domain cannot be routed: it alone is given up.
Next GiveUpWithoutDomain(Run& run, const std::string& line, off_t position) {
  if (!SendFailureNotice(run.relay, run.name, "no domain in recipient address", line)) return Next::FinalScan;
  return RecordRecipientState(run.relay, run.file, run.name, position, 'X') ? Next::Serve : Next::FinalScan;
}

// A recipient still pending when the message has outlived Lifetime is given up, its notice
// naming the last error seen for it.
Next GiveUpExpired(Run& run, const std::string& line, off_t position) {
  std::string reason = LifetimeReason(*run.expiredDays, LastDeliveryError(run.relay, run.name, line));
  if (!SendFailureNotice(run.relay, run.name, reason, line)) return Next::FinalScan;
  return RecordRecipientState(run.relay, run.file, run.name, position, 'X') ? Next::Serve : Next::FinalScan;
}

// Each hop of the recipient's route in turn, until one settles the attempt. No hop (no next
// relay, no exchanger) makes none: the recipient stays pending and the run ends.
Next Serve(Run& run, const std::string& line, off_t position) {
  if (run.expiredDays) return GiveUpExpired(run, line, position);
  if (run.settings->REAL_RELAY && line.find('@') == std::string::npos) return GiveUpWithoutDomain(run, line, position);
  Route route = RouteFor(run.relay, run.delivery, *run.account, run.name, line, run.resolver);
  route.sessions = &run.delivery.sessions;
  route.account = run.accountName;
  bool goOn = DeliverAlongRoute(run.relay, *run.account, run.file, run.name, route, line, position);
  return goOn ? Next::Serve : Next::FinalScan;
}

// Stopped: the name stays held and the entry stays for shutdown to clear.
int Stopped(Run& run) {
  (void)run.file.Close();  // every letter written was synced when it was written
  return 0;
}

std::vector<PendingRecipient> PendingRecipients(Run& run) {
  std::vector<PendingRecipient> pending;
  std::string line;
  off_t position;
  if (!run.file.Rewind()) return pending;
  while (FindPendingRecipient(run.file, line, position)) pending.push_back(PendingRecipient{line, position});
  return pending;
}

// A session left open for the next message is closed when no other worker took it up within
// a moment; the file is settled by then, so the dispatcher already counts this worker gone.
void LetSessionGo(Run& run, const std::string& key, uint64_t ticket) {
  RelaySessions& sessions = run.delivery.sessions;
  auto session = sessions.Reclaim(key, ticket, run.relay.timings.sessionLinger,
                                  [&run] { return run.relay.StopOrCancelled(); });
  if (session) CloseSession(run.relay, sessions, key, std::move(session));
}

// A next relay that takes several messages per connection gets all of a message's pending
// recipients in one transaction, on a session that may go on to the next message. None
// when the recipients go one transaction each (the stored dialogue as it is).
std::optional<int> OverSession(Run& run, const std::vector<PendingRecipient>& pending) {
  if (run.expiredDays || run.settings->REAL_RELAY) return std::nullopt;
  if (pending.empty() || !run.file.Rewind()) return std::nullopt;
  Route route = RouteFor(run.relay, run.delivery, *run.account, run.name, pending.front().line, run.resolver);
  if (route.hops.empty()) return FinalScan(run);  // no next relay or no sign-in: all stay pending
  const Hop& hop = route.hops.front();
  int perConnection = MessagesPerConnectionFor(*run.account, hop);
  if (route.hops.size() != 1 || perConnection <= 1) return std::nullopt;
  SessionPlan plan{*run.account, hop, run.delivery.sessions, SessionKey(run.accountName, hop), perConnection,
                   ConnectionsPerRelayFor(*run.account, hop)};
  SessionOutcome outcome = DeliverOverSession(run.relay, run.file, run.name, plan, pending);
  if (outcome.useSingle) return run.file.Rewind() ? std::nullopt : std::optional<int>(FinalScan(run));
  int exitCode = run.relay.stop().load() ? Stopped(run) : FinalScan(run);
  if (outcome.kept) LetSessionGo(run, plan.key, *outcome.kept);
  return exitCode;
}

// An account's pace: its message waits, untried, while sending it now would pass the limits
// its provider sets. The file is held until then, each recipient showing why.
bool Paced(Run& run, const std::vector<PendingRecipient>& pending) {
  const Settings& account = *run.account;
  Pacer::Limits limits = PaceOf(account);
  if (run.settings->REAL_RELAY || pending.empty() || (limits.messagesPerMinute <= 0 && limits.recipientsPerDay <= 0)) {
    return false;
  }
  QueueList& queue = run.relay.queue;
  const Pacer::WallTime now = queue.ScheduleWallNow();
  std::optional<Pacer::WallTime> until =
      run.delivery.pacer.Take(run.accountName, limits, static_cast<int>(pending.size()), now);
  if (!until) return false;
  const std::string why = PacedText(*until);
  for (const PendingRecipient& recipient : pending) NoteDeliveryError(run.relay, run.name, recipient.line, why);
  queue.WaitUntil(run.name, queue.ScheduleNow() + std::chrono::duration_cast<RetrySchedule::TimePoint::duration>(*until - now));
  run.relay.tryRecorded.Notify();  // the client timer wakes the dispatcher when the pace allows
  return true;
}

int RecipientLoop(Run& run) {
  std::string line;
  off_t position;
  while (!run.relay.stop().load()) {
    if (run.relay.queue.FlushedWhileTaken(run.name)) return DeleteAndEnd(run);
    if (!FindPendingRecipient(run.file, line, position)) {
      // Recipients counted but none pending: taken again after an interruption, all done.
      if (run.summary.recipientCount > 0 || run.file.ReadFailed()) return FinalScan(run);
      if (!SendFailureNotice(run.relay, run.name, "unexpected EOF (missing recipient)", line)) return HoldAndEnd(run);
      return DeleteAndEnd(run);
    }
    if (Serve(run, line, position) == Next::FinalScan) return FinalScan(run);
  }
  return Stopped(run);
}

void PublishSummary(Run& run) {
  run.summary = ReadSpoolSummary(run.file, run.mailLine);
  const Account* account = AccountFor(*run.settings, run.summary.sender);
  run.account = account != nullptr ? account->values.get() : run.settings.get();
  run.accountName = AccountLabel(account);
  run.relay.outgoing.UpdateSummary(run.name, run.summary);
}

}  // namespace

int WorkerThread(RelayServices& relay, DeliveryServices& delivery, const std::string& name) {
  // Every wait of a delivery (name lookup, connect, send, reply, DNS exchange) is on a
  // watched socket or asks StopOrCancelled, so cancelling the worker the moment the stop
  // flag is set ends whichever it is in; shutdown then never waits for a silent peer.
  ThreadHandle* self = ThreadHandle::Current();
  auto cancelAtStop = relay.stop().Subscribe([self] {
    if (self != nullptr) self->Cancel();
  });
  if (relay.stop().load() && self != nullptr) self->Cancel();
  auto opened = SpoolFile::Open(relay.FilePath(name), O_RDWR);
  if (!opened) {
    // The file is kept and its name stays held: it is tried again after the next clearing.
    relay.ShowSystemError(opened.failure());
    relay.outgoing.RemoveWorker(name);
    ++relay.counters.sentAll;
    relay.RefreshStatistics();
    relay.workerEnded.Notify();
    return 0;
  }
  std::shared_ptr<const Settings> settings = relay.settings();
  MxResolver resolver(
      settings->DNS, relay.timings.dnsWait, [&relay](const std::string& line) { relay.AppendLog(line); },
      [&relay] { return relay.StopOrCancelled(); }, AddressFamilyOf(settings->IPFamily));
  Run run{relay, delivery, name, settings, settings.get(), {}, std::move(opened.value()), {}, {}, std::move(resolver),
          std::nullopt};
  PublishSummary(run);
  run.expiredDays = PastLifetime(relay, *settings, run.name, run.file);
  if (!run.file.Rewind()) return FinalScan(run);
  std::vector<PendingRecipient> pending = run.expiredDays ? std::vector<PendingRecipient>{} : PendingRecipients(run);
  if (Paced(run, pending)) return HeldForPace(run);
  if (std::optional<int> exitCode = OverSession(run, pending)) return *exitCode;
  if (!run.file.Rewind()) return FinalScan(run);
  return RecipientLoop(run);
}

}  // namespace vellomar
