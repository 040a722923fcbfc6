// DATA: the trace header, then the message as received (line ends mended), up to the
// end-of-data line; the message is committed before it is acknowledged.
#include <algorithm>
#include <chrono>
#include <string_view>

#include "common/header_date.h"
#include "smtp_server/message_data_filter.h"
#include "smtp_server/session.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

using Clock = std::chrono::steady_clock;

// The window follows a reception at this pace: a refresh per chunk would cost more than the
// reception itself, and the user sees no difference.
constexpr std::chrono::milliseconds kRefreshInterval{100};

std::string TraceHeader(const Session& session) {
  return "Received: from " + session.heloDomain + " ([" + session.clientAddress + "])\r\n\tby " +
         session.relay.localHostName.Get() + " with Vellomar; " + HeaderDate(session.relay.LocalNow()) + "\r\n";
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
// `stored` is the caller's, kept from chunk to chunk so that its room is allocated once.
bool StoreData(Session& session, MessageDataFilter& filter, std::string& input, std::string& stored) {
  stored.clear();
  size_t used = filter.Feed(input, stored);
  input.erase(0, used);
  return Stored(session, session.message.Data(stored));
}

}  // namespace

CommandOutcome ReceiveData(Session& session, std::string_view argument) {
  if (!argument.empty()) return Refuse(session, "501 5.5.4 Syntax: DATA\r\n");
  if (!Stored(session, session.message.BeginData(TraceHeader(session)))) return CommandOutcome::Failed;
  if (!SendReply(session, "354 send the mail data, end with .\r\n")) return CommandOutcome::Failed;
  MessageDataFilter filter;
  DataDeadline deadline(session.limits);
  // The first refresh comes once the data has taken a while: a message received within the
  // interval is shown by the refreshes its delivery makes, and costs no wait for the window.
  Clock::time_point lastRefresh = Clock::now();
  // Bytes pipelined behind the DATA line are the start of the message.
  std::string input = std::move(session.pending);
  session.pending.clear();
  std::string stored;
  for (;;) {
    if (!StoreData(session, filter, input, stored)) return CommandOutcome::Failed;
    if (filter.ended()) break;
    session.summary.size = session.message.length();
    PublishSummary(session);
    if (Clock::now() - lastRefresh >= kRefreshInterval) {
      lastRefresh = Clock::now();
      session.relay.RefreshStatistics();
    }
    if (!AwaitBytes(session, input, session.limits.dataWait, deadline.End())) return CommandOutcome::Failed;
    deadline.Received(input.size());
  }
  session.pending = std::move(input);
  // Committed, counted and handed to delivery before it is acknowledged: nothing the
  // connection does afterwards can touch it.
  if (!Stored(session, session.message.Commit())) return CommandOutcome::Failed;
  session.summary.size = session.message.length();
  session.transactionOpen = false;
  ++session.committed;
  session.state = DataDone;
  return Answer(session, "250 Ok\r\n");
}

}  // namespace vellomar
