#include "delivery/delivery_notes.h"

#include <mutex>

#include "common/flags.h"
#include "platform/wake_event.h"
#include "spool/recipient_line.h"
#include "spool/spool_lists.h"

namespace vellomar {

void NoteDeliveryError(const std::string& spoolName, const std::string& recipientLine, const std::string& error) {
  std::string recipient = RecipientAddress(recipientLine);
  std::lock_guard<std::mutex> guard(QueueLock());
  TheQueueList().schedule().NoteError(spoolName, recipient, error);
}

std::string LastDeliveryError(const std::string& spoolName, const std::string& recipientLine) {
  std::string recipient = RecipientAddress(recipientLine);
  std::lock_guard<std::mutex> guard(QueueLock());
  return TheQueueList().schedule().LastError(spoolName, recipient);
}

void RecordDeliveryTry(const std::string& spoolName) {
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    TheQueueList().schedule().RecordTry(spoolName);
  }
  TryRecorded().Notify();
}

void MakeEveryFileDue() {
  std::lock_guard<std::mutex> guard(QueueLock());
  TheQueueList().schedule().MakeAllDue();
}

std::optional<std::chrono::milliseconds> UntilNextTry() {
  std::lock_guard<std::mutex> guard(QueueLock());
  RetrySchedule& schedule = TheQueueList().schedule();
  auto earliest = schedule.EarliestPending();
  if (!earliest) return std::nullopt;
  return std::chrono::ceil<std::chrono::milliseconds>(*earliest - schedule.Now());
}

WakeEvent& TryRecorded() {
  static WakeEvent event(stopRequested);
  return event;
}

}  // namespace vellomar
