#include "control/waiting_rows.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "common/app_directory.h"
#include "platform/local_clock.h"
#include "spool/queue_table.h"
#include "spool/spool_lists.h"

namespace vellomar {

namespace {

std::string NextTryText(const RetrySchedule& schedule, const std::string& name) {
  auto record = schedule.Find(name);
  auto now = schedule.Now();
  if (!record || record->nextTry <= now) return "now";
  auto minutes = std::chrono::ceil<std::chrono::minutes>(record->nextTry - now).count();
  if (minutes < 60) return "in " + std::to_string(minutes) + "m";
  std::tm local = LocalTimeAt(std::chrono::system_clock::to_time_t(schedule.WallTimeOf(record->nextTry)));
  char text[16];
  std::snprintf(text, sizeof text, "at %02d:%02d", local.tm_hour, local.tm_min);
  return text;
}

std::string LastErrorsText(const RetrySchedule& schedule, const std::string& name) {
  auto record = schedule.Find(name);
  if (!record) return "";
  std::string text;
  for (const auto& [recipient, error] : record->lastErrors) {
    text += (text.empty() ? "" : "; ") + recipient + ": " + error;
  }
  return text;
}

}  // namespace

std::vector<WaitingRow> ReadWaitingRows(std::time_t now) {
  std::vector<WaitingRow> rows;
  for (WaitingMessage& message : ReadWaitingMessages(GetAppDirectory())) {
    WaitingRow row;
    row.age = AgeText(message.arrival, now);
    row.recipients = RecipientsText(message.recipients);
    {
      std::lock_guard<std::mutex> guard(QueueLock());
      if (TheQueueList().IsReservation(message.name)) continue;
      RetrySchedule& schedule = TheQueueList().schedule();
      if (!message.arrival) {
        auto firstSeen = schedule.WallTimeOf(schedule.FirstSeen(message.name));
        row.age = AgeText(std::chrono::system_clock::to_time_t(firstSeen), now);
      }
      row.nextTry = NextTryText(schedule, message.name);
      row.lastError = LastErrorsText(schedule, message.name);
    }
    row.message = std::move(message);
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace vellomar
