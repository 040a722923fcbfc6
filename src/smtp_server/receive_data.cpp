// DATA: the trace header, then the message as received (line ends mended), up to the
// end-of-data line; the message is committed before it is acknowledged.
#include <algorithm>
#include <chrono>
#include <string_view>

#include "common/header_date.h"
#include "common/window_services.h"
#include "smtp_server/local_host_name.h"
#include "smtp_server/message_data_filter.h"
#include "smtp_server/message_store.h"
#include "smtp_server/server_session.h"

namespace vellomar {

namespace {

using Clock = std::chrono::steady_clock;

// The window follows a reception at this pace: a refresh per chunk would cost more than the
// reception itself, and the user sees no difference.
constexpr std::chrono::milliseconds kRefreshInterval{100};

std::string TraceHeader(const SessionRun& run) {
  return "Received: from " + run.session.heloDomain + " ([" + run.session.clientAddress + "])\r\n\tby " +
         localHostName.Get() + " with Vellomar; " + HeaderDate() + "\r\n";
}

// The data may take the grace time plus a second for every `dataRate` bytes received: a
// slow line is served, a client that merely keeps the connection alive is not.
class DataDeadline {
 public:
  explicit DataDeadline(const SessionLimits& limits) : limits_(limits), start_(Clock::now()) {}
  void Received(size_t bytes) { received_ += static_cast<int64_t>(bytes); }
  Clock::time_point End() const {
    return start_ + limits_.dataGrace + std::chrono::milliseconds(received_ * 1000 / std::max<int64_t>(limits_.dataRate, 1));
  }

 private:
  const SessionLimits& limits_;
  Clock::time_point start_;
  int64_t received_ = 0;
};

// Stores what of `input` belongs to the message; the rest stays pending as the client's next
// commands. False when the spool file could not take it (the fault already answered).
bool StoreData(SessionRun& run, MessageDataFilter& filter, std::string& input) {
  std::string stored;
  size_t used = filter.Feed(input, stored);
  input.erase(0, used);
  return AppendOrFault(run, stored);
}

}  // namespace

CommandOutcome ReceiveData(SessionRun& run, std::string_view argument) {
  if (!argument.empty()) return Refuse(run, "501 5.5.4 Syntax: DATA\r\n");
  if (!AppendOrFault(run, "DATA\r\n") || !AppendOrFault(run, TraceHeader(run))) return CommandOutcome::Failed;
  if (!SendReply(run, "354 send the mail data, end with .\r\n")) return CommandOutcome::Failed;
  MessageDataFilter filter;
  DataDeadline deadline(run.session.limits);
  Clock::time_point lastRefresh;
  // Bytes pipelined behind the DATA line are the start of the message.
  std::string input = std::move(run.pending);
  run.pending.clear();
  for (;;) {
    if (!StoreData(run, filter, input)) return CommandOutcome::Failed;
    if (filter.ended()) break;
    run.session.summary.size = SpoolLength(run);
    PublishSummary(run);
    if (Clock::now() - lastRefresh >= kRefreshInterval) {
      lastRefresh = Clock::now();
      run.window.RefreshStatistics();
    }
    if (!AwaitBytes(run, input, run.session.limits.dataWait, deadline.End())) return CommandOutcome::Failed;
    deadline.Received(input.size());
  }
  run.pending = std::move(input);
  if (!CommitMessage(run)) return CommandOutcome::Failed;
  run.state = DataDone;
  return Answer(run, "250 Ok\r\n");
}

}  // namespace vellomar
