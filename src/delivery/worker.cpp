#include "delivery/worker.h"

#include <fcntl.h>

#include <chrono>
#include <optional>

#include "common/graph_limits.h"
#include "common/server_address.h"
#include "common/account_choice.h"
#include "delivery/delivery_notes.h"
#include "delivery/delivery_services.h"
#include "delivery/failure_notice.h"
#include "delivery/outcome_recorder.h"
#include "delivery/pacing.h"
#include "delivery/relay_sessions.h"
#include "delivery/route.h"
#include "delivery/route_walk.h"
#include "delivery/spool_summary.h"
#include "dns/mx_resolver.h"
#include "platform/thread_handle.h"
#include "spool/recipient_line.h"
#include "spool/relay_services.h"
#include "spool/spool_file.h"
#include "spool/waiting_message.h"

namespace vellomar {

namespace {

constexpr std::chrono::seconds kDay{24 * 60 * 60};

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

// Stopped: the name stays held and the entry stays for shutdown to clear.
int Stopped(Run& run) {
  (void)run.file.Close();  // every letter written was synced when it was written
  return 0;
}

enum class Next { Serve, FinalScan };

// A recipient given up without an attempt, its sender told why.
Next GiveUp(Run& run, const std::string& line, off_t position, const std::string& reason) {
  OutcomeRecorder recorder(run.relay, *run.account, run.file, run.name);
  (void)recorder.Record({PendingRecipient{line, position}}, {RecipientOutcome::Kind::Refused, "", reason});
  return recorder.nextPending().value_or(false) ? Next::Serve : Next::FinalScan;
}

// Whole days a message has waited, from the arrival time its trace header records, or, for a
// file without one (a notice), from when this run of the program first met it; the clocks are
// the retry schedule's. Reads the file from its start.
int MessageAgeDays(QueueList& queue, const std::string& spoolName, SpoolFile& file) {
  std::optional<std::time_t> arrival;
  if (file.Rewind()) arrival = ReadArrivalTime(file);
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  // The trace header's date is wall-clock time; a first sighting is on the schedule's clock.
  seconds age = arrival ? duration_cast<seconds>(queue.ScheduleWallNow() - std::chrono::system_clock::from_time_t(*arrival))
                        : duration_cast<seconds>(queue.ScheduleNow() - queue.FirstSeen(spoolName));
  return age < kDay ? 0 : static_cast<int>(age / kDay);
}

// The days past which a recipient still pending is given up, when `Lifetime` sets any: a
// message is past its lifetime once it is older than that many days.
std::optional<int> PastLifetime(Run& run) {
  int lifetime = run.settings->Lifetime;
  if (lifetime <= 0) return std::nullopt;
  // Never given up untried: a clock that was wrong when the message came, or a restart after a
  // long stop, must leave it one try first.
  auto record = run.relay.queue.ScheduleOf(run.name);
  if (!record || record->tries == 0) return std::nullopt;
  int days = MessageAgeDays(run.relay.queue, run.name, run.file);
  if (days < lifetime) return std::nullopt;
  return days;
}

// A recipient still pending when the message has outlived Lifetime is given up, its notice
// naming the last error seen for it.
std::string LifetimeReason(Run& run, const std::string& line) {
  const int days = *run.expiredDays;
  const std::string lastError = LastDeliveryError(run.relay, run.name, line);
  std::string reason = "could not be delivered for " + std::to_string(days) + (days == 1 ? " day: " : " days: ");
  return reason + (lastError.empty() ? "the time a message may wait has passed" : lastError);
}

Route RouteOf(Run& run, const std::string& line) {
  Route route = RouteFor(run.relay, run.delivery, *run.account, run.name, line, run.resolver);
  route.sessions = &run.delivery.sessions;
  route.account = run.accountName;
  return route;
}

// Each hop of the recipient's route in turn, until one settles the attempt. No hop (no next
// relay, no exchanger) makes none: the recipient stays pending and the run ends. A recipient
// without a domain cannot be routed: it alone is given up.
Next Serve(Run& run, const std::string& line, off_t position) {
  if (run.expiredDays) return GiveUp(run, line, position, LifetimeReason(run, line));
  if (run.settings->REAL_RELAY && line.find('@') == std::string::npos) {
    return GiveUp(run, line, position, "no domain in recipient address");
  }
  bool goOn = DeliverAlongRoute(run.relay, *run.account, run.file, run.name, RouteOf(run, line), line, position);
  return goOn ? Next::Serve : Next::FinalScan;
}

std::vector<PendingRecipient> PendingRecipients(Run& run) {
  std::vector<PendingRecipient> pending;
  std::string line;
  off_t position;
  if (!run.file.Rewind()) return pending;
  while (FindPendingRecipient(run.file, line, position)) pending.push_back(PendingRecipient{line, position});
  return pending;
}

// A next relay that takes several messages per connection gets all of a message's pending
// recipients in one transaction, on a session that may go on to the next message. None
// when the recipients go one transaction each (the stored dialogue as it is).
std::optional<int> AllAtOnce(Run& run, const std::vector<PendingRecipient>& pending) {
  // Graph sends a message to all its recipients at once, in either relaying mode.
  const bool graph = SendsThroughGraph(*run.account);
  if (run.expiredDays || (run.settings->REAL_RELAY && !graph) || pending.empty()) return std::nullopt;
  Route route = RouteOf(run, pending.front().line);
  if (route.hops.empty()) return FinalScan(run);  // no next relay or no sign-in: all stay pending
  if (route.hops.size() != 1) return std::nullopt;
  if (!graph && MessagesPerConnectionFor(*run.account, route.hops.front()) <= 1) return std::nullopt;
  OutcomeRecorder recorder(run.relay, *run.account, run.file, run.name);
  Walked walked = WalkRoute(recorder, run.relay, *run.account, run.file, run.name, route, pending);
  int exitCode = run.relay.stop().load() ? Stopped(run) : FinalScan(run);
  for (const auto& release : walked.releases) release();
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
  opened.value().ShareSyncs(relay.spoolSync);
  std::shared_ptr<const Settings> settings = relay.settings();
  MxResolver resolver(
      settings->DNS, relay.timings.dnsWait, [&relay](const std::string& line) { relay.AppendLog(line); },
      [&relay] { return relay.StopOrCancelled(); }, AddressFamilyOf(settings->IPFamily));
  Run run{relay, delivery, name, settings, settings.get(), {}, std::move(opened.value()), {}, {}, std::move(resolver),
          std::nullopt};
  PublishSummary(run);
  run.expiredDays = PastLifetime(run);
  if (!run.file.Rewind()) return FinalScan(run);
  std::vector<PendingRecipient> pending = run.expiredDays ? std::vector<PendingRecipient>{} : PendingRecipients(run);
  if (Paced(run, pending)) return HeldForPace(run);
  if (std::optional<int> exitCode = AllAtOnce(run, pending)) return *exitCode;
  if (!run.file.Rewind()) return FinalScan(run);
  return RecipientLoop(run);
}

}  // namespace vellomar
