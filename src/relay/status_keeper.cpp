#include "relay/status_keeper.h"

#include "common/relay_event.h"
#include "common/system_error.h"
#include "platform/thread_handle.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

using Clock = std::chrono::steady_clock;

// Next tries are shown to the second; a fraction left would show a due file as due already.
int64_t SecondsUp(RetrySchedule::WallTime time) {
  return std::chrono::ceil<std::chrono::seconds>(time.time_since_epoch()).count();
}

}  // namespace

StatusKeeper::StatusKeeper(RelayServices& relay, StatusBoard& board, AccountOf accountOf)
    : relay_(relay), board_(board), accountOf_(std::move(accountOf)), watch_(relay.directory()) {}

RelayStatusFile StatusKeeper::Current() const {
  RelayStatusFile status = board_.Snapshot();
  status.ports = relay_.listeningPorts.Get();
  for (const auto& [name, next] : relay_.queue.NotDue()) status.nextTries[name] = SecondsUp(next);
  return status;
}

void StatusKeeper::Pass(std::time_t now, bool look) {
  if (look) {
    for (const WaitingWatch::Message& message : watch_.Look(now, kWaitingTooLong)) {
      relay_.ReportEvent({.kind = RelayEvent::Kind::MailWaiting,
                          .account = accountOf_(message.sender),
                          .spoolName = message.name,
                          .subject = message.recipient,
                          .reason = relay_.queue.LastError(message.name, message.recipient)});
    }
  }
  Status written = board_.Write(Current());
  if (!written && !failing_) {
    relay_.AppendLog("Error : can't write " + relay_.FilePath(kStatusFile) + ": " + SystemErrorText(written.failure()));
  }
  failing_ = !written;
}

int StatusKeeper::Run(ThreadHandle&) {
  WakeEvent spacing(relay_.stop());  // never notified: a pause that ends at the stop
  const Clock::time_point started = Clock::now();
  Clock::time_point lastLook{};
  bool first = true;
  while (!relay_.StopOrCancelled()) {
    Clock::time_point now = Clock::now();
    bool look = first || now - lastLook >= kLookEvery;
    if (look) lastLook = now;
    first = false;
    Pass(std::time(nullptr), look);
    (void)spacing.WaitFor(kWriteSpacing);  // ends early only at the stop
    // While the listener starts, its ports are looked for every second.
    auto untilLook = std::chrono::ceil<std::chrono::milliseconds>(lastLook + kLookEvery - Clock::now());
    bool starting = relay_.listeningPorts.Get().empty() && Clock::now() - started < kLookEvery;
    auto wait = starting ? std::min(untilLook, std::chrono::milliseconds(1000)) : untilLook;
    (void)board_.WaitForChange(std::max(wait, std::chrono::milliseconds(0)));  // a change or the time: a pass either way
  }
  return 0;
}

}  // namespace vellomar
