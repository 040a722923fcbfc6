// DATA: the trace header, then the message as received, up to the end-of-data marker.
#include <algorithm>
#include <chrono>
#include <string_view>

#include "common/flags.h"
#include "control/main_window.h"
#include "platform/file_system.h"
#include "smtp_server/local_host_name.h"
#include "smtp_server/mail_date_text.h"
#include "smtp_server/server_session.h"

namespace vellomar {

namespace {

constexpr std::string_view kEndOfDataMarker = "\r\n.\r\n";
constexpr size_t kChunkSize = 1000;
// The window follows a reception at this pace: a refresh per 1000-byte chunk would cost
// more than the reception itself, and the user sees no difference.
constexpr std::chrono::milliseconds kRefreshInterval{100};

// The last (at most five) bytes received, also when the marker is split over chunks.
void UpdateTail(std::string& tail, std::string_view chunk) {
  const size_t marker = kEndOfDataMarker.size();
  if (chunk.size() > marker) {
    tail.assign(chunk.substr(chunk.size() - marker));
    return;
  }
  size_t keep = std::min(tail.size(), marker - chunk.size());
  tail = tail.substr(tail.size() - keep);
  tail.append(chunk);
}

std::string TraceHeader(const SessionRun& run) {
  return "Received: from " + run.session.heloDomain + "\r\n\tby " + localHostName.Get() + " with Vellomar; " +
         MailDateText() + "\r\n";
}

// The message is on stable storage before it is acknowledged.
bool Acknowledge(SessionRun& run) {
  if (!SyncFile(run.spool.get())) return false;
  return SendReply(run, "250 Ok\r\n");
}

}  // namespace

bool ReceiveData(SessionRun& run, const std::string& line) {
  if (!AppendToSpool(run, line) || !AppendToSpool(run, TraceHeader(run))) return false;
  if (!SendReply(run, "354 send the mail data, end with .\r\n")) {
    run.connection.Close();
    (void)run.spool.Close();  // the partial file is deleted at the session's end
    return false;
  }
  std::string tail;
  char chunk[kChunkSize];
  std::chrono::steady_clock::time_point lastRefresh;
  for (;;) {
    if (tail == kEndOfDataMarker) return Acknowledge(run);
    auto got = run.connection.Receive(chunk, sizeof chunk, run.session.readWait);
    if (!got || got.value() == 0) return false;
    // Stored byte for byte: a NUL in the data is message data like any other byte.
    std::string_view received(chunk, got.value());
    if (!AppendToSpool(run, received)) return false;
    UpdateTail(tail, received);
    if (stopRequested.load()) return false;
    run.session.summary.size = SpoolLength(run);
    PublishSummary(run);
    auto now = std::chrono::steady_clock::now();
    if (now - lastRefresh >= kRefreshInterval) {
      lastRefresh = now;
      run.window.RefreshStatistics();
    }
  }
}

}  // namespace vellomar
