#include "delivery/message_age.h"

#include <chrono>
#include <mutex>

#include "common/settings.h"
#include "spool/spool_file.h"
#include "spool/spool_lists.h"
#include "spool/waiting_message.h"

namespace vellomar {

namespace {

constexpr std::chrono::seconds kDay{24 * 60 * 60};

}  // namespace

int MessageAgeDays(const std::string& spoolName, SpoolFile& file) {
  std::optional<std::time_t> arrival;
  if (file.Rewind()) arrival = ReadArrivalTime(file);
  std::lock_guard<std::mutex> guard(QueueLock());
  RetrySchedule& schedule = TheQueueList().schedule();
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  // The trace header's date is wall-clock time; a first sighting is on the schedule's clock.
  seconds age = arrival ? duration_cast<seconds>(schedule.WallNow() - std::chrono::system_clock::from_time_t(*arrival))
                        : duration_cast<seconds>(schedule.Now() - schedule.FirstSeen(spoolName));
  return age < kDay ? 0 : static_cast<int>(age / kDay);
}

std::optional<int> PastLifetime(const std::string& spoolName, SpoolFile& file) {
  int lifetime = TheSettings().Lifetime.load();
  if (lifetime <= 0) return std::nullopt;
  {
    // Never given up untried: a clock that was wrong when the message came, or a restart after
    // a long stop, must leave it one try first.
    std::lock_guard<std::mutex> guard(QueueLock());
    auto record = TheQueueList().schedule().Find(spoolName);
    if (!record || record->tries == 0) return std::nullopt;
  }
  int days = MessageAgeDays(spoolName, file);
  if (days < lifetime) return std::nullopt;
  return days;
}

std::string LifetimeReason(int days, const std::string& lastError) {
  std::string reason = "could not be delivered for " + std::to_string(days) + (days == 1 ? " day: " : " days: ");
  return reason + (lastError.empty() ? "the time a message may wait has passed" : lastError);
}

}  // namespace vellomar
