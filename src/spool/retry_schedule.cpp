#include "spool/retry_schedule.h"

#include <algorithm>

#include "common/text.h"

namespace vellomar {

namespace {

constexpr int kCapMinutes = 60;

std::string Key(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = ToUpperAscii(c);
  return key;
}

}  // namespace

std::chrono::minutes RetrySchedule::Interval(int tries) {
  int minutes = 1;
  for (int n = 1; n < tries && minutes < kCapMinutes; ++n) minutes *= 2;
  return std::chrono::minutes(std::min(minutes, kCapMinutes));
}

RetrySchedule::WallTime RetrySchedule::WallTimeOf(TimePoint point) const {
  return WallNow() + std::chrono::duration_cast<WallTime::duration>(point - Now());
}

RetrySchedule::FileRecord& RetrySchedule::RecordOf(const std::string& name) {
  auto [entry, added] = files_.try_emplace(Key(name));
  if (added) entry->second.firstSeen = entry->second.nextTry = Now();
  return entry->second;
}

bool RetrySchedule::IsDue(const std::string& name) const {
  auto entry = files_.find(Key(name));
  return entry == files_.end() || entry->second.nextTry <= Now();
}

void RetrySchedule::WaitUntil(const std::string& name, TimePoint point) {
  FileRecord& record = RecordOf(name);
  record.nextTry = std::max(record.nextTry, point);
}

void RetrySchedule::RecordTry(const std::string& name) {
  FileRecord& record = RecordOf(name);
  ++record.tries;
  record.nextTry = std::max(Now() + Interval(record.tries), record.notBefore);
}

void RetrySchedule::NotBefore(const std::string& name, TimePoint point) {
  FileRecord& record = RecordOf(name);
  record.notBefore = std::max(record.notBefore, point);
  record.nextTry = std::max(record.nextTry, point);
}

void RetrySchedule::MakeAllDue() {
  TimePoint now = Now();
  // A person asking is not held to a service's Retry-After.
  for (auto& [key, record] : files_) record.nextTry = record.notBefore = std::min(record.nextTry, now);
}

void RetrySchedule::MakeDue(const std::string& name) {
  auto entry = files_.find(Key(name));
  if (entry != files_.end()) entry->second.nextTry = std::min(entry->second.nextTry, Now());
}

void RetrySchedule::Forget(const std::string& name) { files_.erase(Key(name)); }

RetrySchedule::TimePoint RetrySchedule::FirstSeen(const std::string& name) { return RecordOf(name).firstSeen; }

void RetrySchedule::NoteError(const std::string& name, const std::string& recipient, const std::string& error) {
  RecordOf(name).lastErrors[recipient] = error;
}

std::string RetrySchedule::LastError(const std::string& name, const std::string& recipient) const {
  auto entry = files_.find(Key(name));
  if (entry == files_.end()) return {};
  auto error = entry->second.lastErrors.find(recipient);
  return error == entry->second.lastErrors.end() ? std::string() : error->second;
}

std::optional<RetrySchedule::FileRecord> RetrySchedule::Find(const std::string& name) const {
  auto entry = files_.find(Key(name));
  if (entry == files_.end()) return std::nullopt;
  return entry->second;
}

std::optional<RetrySchedule::TimePoint> RetrySchedule::EarliestPending() const {
  std::optional<TimePoint> earliest;
  TimePoint now = Now();
  for (const auto& [key, record] : files_) {
    if (record.nextTry > now && (!earliest || record.nextTry < *earliest)) earliest = record.nextTry;
  }
  return earliest;
}

std::map<std::string, RetrySchedule::WallTime> RetrySchedule::NotDue() const {
  std::map<std::string, WallTime> waiting;
  TimePoint now = Now();
  for (const auto& [key, record] : files_) {
    if (record.nextTry > now) waiting.emplace(key, WallTimeOf(record.nextTry));
  }
  return waiting;
}

}  // namespace vellomar
