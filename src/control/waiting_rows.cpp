#include "control/waiting_rows.h"

#include <chrono>
#include <cstdio>

#include "common/account_choice.h"
#include "platform/local_clock.h"
#include "spool/queue_table.h"

namespace vellomar {

namespace {

// `wallNextTry` is the wall time the record's next try stands for.
std::string NextTryText(const std::optional<RetrySchedule::FileRecord>& record, RetrySchedule::TimePoint now,
                        RetrySchedule::WallTime wallNextTry) {
  if (!record || record->nextTry <= now) return "now";
  auto minutes = std::chrono::ceil<std::chrono::minutes>(record->nextTry - now).count();
  if (minutes < 60) return "in " + std::to_string(minutes) + "m";
  std::tm local = LocalTimeAt(std::chrono::system_clock::to_time_t(wallNextTry));
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

std::vector<WaitingRow> ReadWaitingRows(QueueList& queue, std::time_t now, const Settings& settings) {
  std::vector<WaitingRow> rows;
  for (WaitingMessage& message : ReadWaitingMessages(queue.directory())) {
    WaitingRow row;
    row.age = AgeText(message.arrival, now);
    row.recipients = RecipientsText(message.recipients);
    row.account = AccountLabel(AccountFor(settings, message.sender));
    if (queue.IsReservation(message.name)) continue;
    if (!message.arrival) {
      auto firstSeen = queue.ScheduleWallTimeOf(queue.FirstSeen(message.name));
      row.age = AgeText(std::chrono::system_clock::to_time_t(firstSeen), now);
    }
    auto record = queue.ScheduleOf(message.name);
    auto nextTry = record ? record->nextTry : RetrySchedule::TimePoint{};
    row.nextTry = NextTryText(record, queue.ScheduleNow(), queue.ScheduleWallTimeOf(nextTry));
    row.lastError = LastErrorsText(record);
    row.message = std::move(message);
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace vellomar
