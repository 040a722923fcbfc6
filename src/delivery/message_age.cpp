#include "delivery/message_age.h"

#include <chrono>

#include "spool/spool_file.h"
#include "spool/relay_services.h"
#include "spool/waiting_message.h"

namespace vellomar {

namespace {

constexpr std::chrono::seconds kDay{24 * 60 * 60};

}  // namespace

int MessageAgeDays(QueueList& queue, const std::string& spoolName, SpoolFile& file) {
  std::optional<std::time_t> arrival;
  if (file.Rewind()) arrival = ReadArrivalTime(file);
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  // The trace header's date is wall-clock time; a first sighting is on the schedule's clock.
  seconds age = arrival ? duration_cast<seconds>(queue.ScheduleWallNow() - std::chrono::system_clock::from_time_t(*arrival))
                        : duration_cast<seconds>(queue.ScheduleNow() - queue.FirstSeen(spoolName));
  return age < kDay ? 0 : static_cast<int>(age / kDay);
}

std::optional<int> PastLifetime(RelayServices& relay, const Settings& settings, const std::string& spoolName,
                                SpoolFile& file) {
  int lifetime = settings.Lifetime;
  if (lifetime <= 0) return std::nullopt;
  // Never given up untried: a clock that was wrong when the message came, or a restart after a
  // long stop, must leave it one try first.
  auto record = relay.queue.ScheduleOf(spoolName);
  if (!record || record->tries == 0) return std::nullopt;
  int days = MessageAgeDays(relay.queue, spoolName, file);
  if (days < lifetime) return std::nullopt;
  return days;
}

std::string LifetimeReason(int days, const std::string& lastError) {
  std::string reason = "could not be delivered for " + std::to_string(days) + (days == 1 ? " day: " : " days: ");
  return reason + (lastError.empty() ? "the time a message may wait has passed" : lastError);
}

}  // namespace vellomar
