#include "control/waiting_rows.h"

#include <chrono>
#include <cstdio>

#include "platform/local_clock.h"
#include "spool/queue_table.h"

namespace vellomar {

namespace {

std::string NextTryText(const std::optional<RetrySchedule::FileRecord>& record, RetrySchedule::TimePoint now) {
  if (!record || record->nextTry <= now) return "now";
  auto minutes = std::chrono::ceil<std::chrono::minutes>(record->nextTry - now).count();
  if (minutes < 60) return "in " + std::to_string(minutes) + "m";
  std::tm local = LocalTimeAt(std::chrono::system_clock::to_time_t(record->nextTry));
  char text[16];
  std::snprintf(text, sizeof text, "at %02d:%02d", local.tm_hour, local.tm_min);
  return text;
}

std::string LastErrorsText(const std::optional<RetrySchedule::FileRecord>& record) {
  if (!record) return "";
  std::string text;
  for (const auto& [recipient, error] : record->lastErrors) {
    text += (text.empty() ? "" : "; ") + recipient + ": " + error;
  }
  return text;
}

}  // namespace

std::vector<WaitingRow> ReadWaitingRows(QueueList& queue, std::time_t now) {
  std::vector<WaitingRow> rows;
  for (WaitingMessage& message : ReadWaitingMessages(queue.directory())) {
    WaitingRow row;
    row.age = AgeText(message.arrival, now);
    row.recipients = RecipientsText(message.recipients);
    if (queue.IsReservation(message.name)) continue;
    if (!message.arrival) row.age = AgeText(std::chrono::system_clock::to_time_t(queue.FirstSeen(message.name)), now);
    auto record = queue.ScheduleOf(message.name);
    row.nextTry = NextTryText(record, queue.ScheduleNow());
    row.lastError = LastErrorsText(record);
    row.message = std::move(message);
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace vellomar
