// DATA: the trace header, then the message as received (line ends mended), up to the
// end-of-data line; the message is committed before it is acknowledged.
#include <algorithm>
#include <chrono>
#include <string_view>

#include "spool/relay_services.h"
#include "smtp_server/local_host_name.h"
#include "smtp_server/mail_date_text.h"
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
         run.relay.localHostName.Get() + " with Vellomar; " + MailDateText(run.relay.LocalNow()) + "\r\n";
}

// The data may take the grace time plus a second for every `dataRate` bytes received: a
// slow line is served, a client that merely keeps the connection alive is not.
class DataDeadline {
 public:
  explicit DataDeadline(const SessionLimits& limits) : limits_(limits), start_(Clock::now()) {}
  void Received(size_t bytes) { received_ += static_cast<int64_t>(bytes); }
  // The next wait: the read wait, or less when the deadline comes sooner; 0 once it passed.
  std::chrono::milliseconds NextWait() const {
    auto allowed = limits_.dataGrace + std::chrono::milliseconds(received_ * 1000 / std::max<int64_t>(limits_.dataRate, 1));
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start_ + allowed - Clock::now());
    return std::clamp(left, std::chrono::milliseconds(0), limits_.readWait);
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

bool ReceiveData(SessionRun& run, const std::string& line) {
  if (!AppendOrFault(run, line) || !AppendOrFault(run, TraceHeader(run))) return false;
  if (!SendReply(run, "354 send the mail data, end with .\r\n")) return false;
  MessageDataFilter filter;
  DataDeadline deadline(run.session.limits);
  Clock::time_point lastRefresh;
  // Bytes pipelined behind the DATA line are the start of the message.
  std::string input = std::move(run.pending);
  run.pending.clear();
  for (;;) {
    if (!StoreData(run, filter, input)) return false;
    if (filter.ended()) break;
    if (run.relay.stop().load()) return false;
    run.session.summary.size = SpoolLength(run);
    PublishSummary(run);
    if (Clock::now() - lastRefresh >= kRefreshInterval) {
      lastRefresh = Clock::now();
      run.relay.RefreshStatistics();
    }
    auto wait = deadline.NextWait();
    if (wait.count() == 0) return false;
    if (!ReceiveMore(run, input, wait)) return false;
    deadline.Received(input.size());
  }
  run.pending = std::move(input);
  if (!CommitMessage(run)) return false;
  return SendReply(run, "250 Ok\r\n");
}

}  // namespace vellomar
