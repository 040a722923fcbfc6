// DATA: the trace header, then the message as received (line ends mended), up to the
// end-of-data line; the message is committed before it is acknowledged.
#include <algorithm>
#include <chrono>
#include <string_view>

#include "common/header_date.h"
#include "smtp_server/message_data_filter.h"
#include "spool/spool_format.h"
#include "spool/trace_fields.h"
#include "smtp_server/session.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

using Clock = std::chrono::steady_clock;

// The window follows a reception at this pace: a refresh per chunk would cost more than the
// reception itself, and the user sees no difference.
constexpr std::chrono::milliseconds kRefreshInterval{100};

// How the message came: "Vellomar" for plain SMTP, as always; under TLS or after a login the
// protocol names of RFC 3848 (ESMTPS, ESMTPA, ESMTPSA) with the TLS version and the user.
std::string Protocol(const Session& session) {
  const bool tls = session.connection.IsEncrypted();
  const std::string& user = session.policy.user();
  if (!tls && user.empty()) return "Vellomar";
  std::string comment = "Vellomar";
  if (tls) comment += ", " + session.connection.TlsVersionText();
  if (!user.empty()) comment += ", user " + user;
  return std::string("ESMTP") + (tls ? "S" : "") + (user.empty() ? "" : "A") + " (" + comment + ")";
}

std::string TraceHeader(const Session& session) {
  return "Received: from " + session.heloDomain + " ([" + session.clientAddress + "])\r\n\tby " +
         session.relay.localHostName.Get() + " with " + Protocol(session) + "; " +
         HeaderDate(session.relay.LocalNow()) + "\r\n";
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

constexpr std::string_view kTooManyHops = "554 5.4.6 Too many hops\r\n";

// The message data as it comes, measured against the size limit and its trace fields counted:
// once it is over the limit or has gone round too many relays, nothing more of it is stored and
// the file holds its greeting line alone.
class IncomingData {
 public:
  explicit IncomingData(Session& session) : session_(session) {}

  // Stores what of `input` belongs to the message; the rest stays pending as the client's
  // next commands. False when the spool file could not take it (the fault already answered).
  bool Store(std::string& input) {
    // Kept from chunk to chunk, so that its room is allocated once.
    stored_.clear();
    size_t used = filter_.Feed(input, stored_);
    input.erase(0, used);
    storedBytes_ += stored_.size();
    traceFields_.Feed(stored_);
    if (!refusal_.empty()) return true;
    if (OverLimit()) refusal_ = session_.SizeRefusal();
    if (traceFields_.TooMany()) refusal_ = kTooManyHops;
    if (!refusal_.empty()) return Stored(session_, session_.message.RollBack());
    return Stored(session_, session_.message.Data(stored_));
  }
  bool ended() const { return filter_.ended(); }
  // The reply that refuses the message, or "" when it is taken.
  std::string_view refusal() const { return refusal_; }
  int traceFields() const { return traceFields_.count(); }

 private:
  // The message's size as SIZE declares it: without the stuffing dots and the end-of-data line.
  bool OverLimit() const {
    uint64_t size = storedBytes_ - filter_.stuffingDots() - (filter_.ended() ? kEndOfDataLine.size() : 0);
    const int64_t limit = session_.MessageLimit();
    return limit > 0 && size > static_cast<uint64_t>(limit);
  }

  Session& session_;
  MessageDataFilter filter_;
  TraceFieldCounter traceFields_;
  std::string stored_;
  uint64_t storedBytes_ = 0;
  std::string refusal_;
};

// A message refused once its data was in, received to its end and dropped: the transaction is
// over and the client may begin another.
CommandOutcome RefuseMessage(Session& session, const IncomingData& data) {
  if (data.refusal() == kTooManyHops) {
    session.relay.AppendLog("Refused a message from " + session.clientAddress + " with " +
                            std::to_string(data.traceFields()) + " trace fields: too many hops, a mail loop?");
  }
  session.transactionOpen = false;
  session.summary = MailSummary{};
  session.summary.size = session.message.length();
  session.state = HeloDone;
  return Refuse(session, data.refusal());
}

}  // namespace

CommandOutcome ReceiveData(Session& session, std::string_view argument) {
  if (!argument.empty()) return Refuse(session, "501 5.5.4 Syntax: DATA\r\n");
  if (!Stored(session, session.message.BeginData(TraceHeader(session)))) return CommandOutcome::Failed;
  if (!SendReply(session, "354 send the mail data, end with .\r\n")) return CommandOutcome::Failed;
  IncomingData data(session);
  DataDeadline deadline(session.limits);
  // The first refresh comes once the data has taken a while: a message received within the
  // interval is shown by the refreshes its delivery makes, and costs no wait for the window.
  Clock::time_point lastRefresh = Clock::now();
  // Bytes pipelined behind the DATA line are the start of the message.
  std::string input = std::move(session.pending);
  session.pending.clear();
  for (;;) {
    if (!data.Store(input)) return CommandOutcome::Failed;
    if (data.ended()) break;
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
  if (!data.refusal().empty()) return RefuseMessage(session, data);
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
