#include "delivery/pacing.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>
#include <vector>

#include "common/settings.h"
#include "platform/file_system.h"

namespace vellomar {

namespace {

using Json = nlohmann::json;

constexpr int64_t kMinute = 60 * 1000;
constexpr int64_t kDay = 24 * 60 * kMinute;
// Far above what the bounded counts of a few accounts take; a bigger file is not ours.
constexpr size_t kMaxStateFile = 4 * 1024 * 1024;
// Some 35,000 years of milliseconds, and more recipients than any day allows.
constexpr int64_t kTimeBound = int64_t(1) << 50;
constexpr int64_t kCountBound = int64_t(1) << 31;

int64_t Milliseconds(Pacer::WallTime time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

Pacer::WallTime WallTimeOf(int64_t milliseconds) {
  return Pacer::WallTime(std::chrono::duration_cast<Pacer::WallTime::duration>(std::chrono::milliseconds(milliseconds)));
}

int64_t MinuteOf(int64_t milliseconds) { return milliseconds - ((milliseconds % kMinute) + kMinute) % kMinute; }

// A bucket's recipients may have gone as late as the end of its minute, so it counts until a
// day after that: the limit is never overrun, at the price of up to a minute's extra wait.
int64_t BucketEnd(int64_t minute) { return minute + kMinute + kDay; }

// The list's integers within `bound` either way: enough for any time or count, and far
// enough from the type's ends that sums and window ends never overflow.
std::vector<int64_t> Integers(const Json& list, int64_t bound) {
  std::vector<int64_t> values;
  if (!list.is_array()) return values;
  for (const Json& item : list) {
    if (!item.is_number_integer() || (item.is_number_unsigned() && item.get<uint64_t>() > uint64_t(bound))) continue;
    int64_t value = item.get<int64_t>();
    if (value >= -bound && value <= bound) values.push_back(value);
  }
  return values;
}

// An entry a whole window older than the file's newest can never count again: it is dropped as
// the file is read, so that what is kept stays bounded whatever the file held.
std::deque<int64_t> MessagesFrom(const Json& entry) {
  std::vector<int64_t> sent = Integers(entry.value("messages", Json::array()), kTimeBound);
  std::sort(sent.begin(), sent.end());
  std::deque<int64_t> messages;
  for (int64_t time : sent) {
    if (time + kMinute > sent.back()) messages.push_back(time);
  }
  return messages;
}

std::map<int64_t, int64_t> RecipientsFrom(const Json& entry) {
  std::map<int64_t, int64_t> recipients;
  for (const Json& bucket : entry.value("recipients", Json::array())) {
    std::vector<int64_t> pair = Integers(bucket, kTimeBound);
    if (pair.size() == 2 && pair[1] > 0 && pair[1] <= kCountBound) recipients[MinuteOf(pair[0])] += pair[1];
  }
  int64_t newest = recipients.empty() ? 0 : recipients.rbegin()->first;
  std::erase_if(recipients, [&](const auto& bucket) { return BucketEnd(bucket.first) <= newest; });
  return recipients;
}

}  // namespace

Pacer::Pacer(std::string stateFile) : stateFile_(std::move(stateFile)) { Load(); }

Status Pacer::LastSave() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lastSave_;
}

// Times ahead of `now` come from a clock that has since been set back; they count as now, so
// that a wrong clock delays mail by one window at most.
void Pacer::Prune(Counts& counts, int64_t now) {
  for (int64_t& sent : counts.messages) sent = std::min(sent, now);
  while (!counts.messages.empty() && counts.messages.front() + kMinute <= now) counts.messages.pop_front();
  int64_t current = MinuteOf(now);
  for (auto later = counts.recipients.upper_bound(current); later != counts.recipients.end();) {
    counts.recipients[current] += later->second;
    later = counts.recipients.erase(later);
  }
  while (!counts.recipients.empty() && BucketEnd(counts.recipients.begin()->first) <= now) {
    counts.recipients.erase(counts.recipients.begin());
  }
}

std::optional<int64_t> Pacer::MessagesFreeAt(const Counts& counts, const Limits& limits) {
  size_t limit = static_cast<size_t>(std::max(limits.messagesPerMinute, 0));
  if (limit == 0 || counts.messages.size() < limit) return std::nullopt;
  return counts.messages[counts.messages.size() - limit] + kMinute;
}

std::optional<int64_t> Pacer::RecipientsFreeAt(const Counts& counts, const Limits& limits, int64_t recipients) {
  if (limits.recipientsPerDay <= 0) return std::nullopt;
  int64_t sum = 0;
  for (const auto& [minute, count] : counts.recipients) sum += count;
  if (sum + recipients <= limits.recipientsPerDay) return std::nullopt;
  for (const auto& [minute, count] : counts.recipients) {
    sum -= count;
    if (sum == 0 || sum + recipients <= limits.recipientsPerDay) return BucketEnd(minute);
  }
  // An empty day: a message with more recipients than a whole day allows goes alone, since
  // holding it back for room that can never come would hold it forever.
  return std::nullopt;
}

std::optional<Pacer::WallTime> Pacer::PacedUntil(const std::string& account, const Limits& limits, int recipients,
                                                WallTime now) const {
  if (limits.messagesPerMinute <= 0 && limits.recipientsPerDay <= 0) return std::nullopt;
  const int64_t at = Milliseconds(now);
  std::lock_guard<std::mutex> guard(lock_);
  auto found = accounts_.find(account);
  if (found == accounts_.end()) return std::nullopt;
  Counts counts = found->second;
  Prune(counts, at);
  auto messagesFree = MessagesFreeAt(counts, limits);
  auto recipientsFree = RecipientsFreeAt(counts, limits, std::max(recipients, 0));
  if (!messagesFree && !recipientsFree) return std::nullopt;
  return WallTimeOf(std::max(messagesFree.value_or(0), recipientsFree.value_or(0)));
}

Pacer::Used Pacer::UsedAt(const std::string& account, WallTime now) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = accounts_.find(account);
  if (found == accounts_.end()) return {};
  Counts counts = found->second;
  Prune(counts, Milliseconds(now));
  Used used{static_cast<int64_t>(counts.messages.size()), 0};
  for (const auto& [minute, count] : counts.recipients) used.recipientsLastDay += count;
  return used;
}

std::optional<Pacer::WallTime> Pacer::Take(const std::string& account, const Limits& limits, int recipients,
                                          WallTime now) {
  if (limits.messagesPerMinute <= 0 && limits.recipientsPerDay <= 0) return std::nullopt;
  const int64_t at = Milliseconds(now);
  const int64_t count = std::max(recipients, 0);
  std::lock_guard<std::mutex> guard(lock_);
  Counts& counts = accounts_[account];
  Prune(counts, at);
  auto messagesFree = MessagesFreeAt(counts, limits);
  auto recipientsFree = RecipientsFreeAt(counts, limits, count);
  if (messagesFree || recipientsFree) return WallTimeOf(std::max(messagesFree.value_or(0), recipientsFree.value_or(0)));
  if (limits.messagesPerMinute > 0) {
    counts.messages.push_back(at);
    while (counts.messages.size() > static_cast<size_t>(limits.messagesPerMinute)) counts.messages.pop_front();
  }
  if (limits.recipientsPerDay > 0 && count > 0) counts.recipients[MinuteOf(at)] += count;
  Save(at);
  return std::nullopt;
}

void Pacer::Save(int64_t now) {
  if (stateFile_.empty()) return;
  Json accounts = Json::object();
  for (auto entry = accounts_.begin(); entry != accounts_.end();) {
    Counts& counts = entry->second;
    Prune(counts, now);
    if (counts.messages.empty() && counts.recipients.empty()) {
      entry = accounts_.erase(entry);
      continue;
    }
    Json recipients = Json::array();
    for (const auto& [minute, count] : counts.recipients) recipients.push_back(Json::array({minute, count}));
    accounts[entry->first] = {{"messages", counts.messages}, {"recipients", recipients}};
    ++entry;
  }
  Json state = {{"version", 1}, {"accounts", accounts}};
  // An account name that is not UTF-8 is written with replacement characters rather than
  // throwing: its counts then start afresh after a restart, which is all that is lost.
  lastSave_ = ReplaceFileContents(stateFile_, state.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n",
                                  NewFileRules{0600, true});
}

void Pacer::Load() {
  if (stateFile_.empty()) return;
  auto text = ReadPlainFile(stateFile_, kMaxStateFile);
  if (!text) return;  // missing or unreadable: the counts start empty
  try {
    Json state = Json::parse(text.value(), nullptr, false);
    if (!state.is_object() || !state.contains("accounts") || !state["accounts"].is_object()) return;
    for (const auto& [name, entry] : state["accounts"].items()) {
      if (!entry.is_object()) continue;
      Counts counts{MessagesFrom(entry), RecipientsFrom(entry)};
      if (!counts.messages.empty() || !counts.recipients.empty()) accounts_[name] = std::move(counts);
    }
  } catch (const Json::exception&) {
    // Values of kinds nobody wrote: the counts start empty rather than half read.
    accounts_.clear();
  }
}

Pacer::Limits PaceOf(const Settings& settings) {
  return Pacer::Limits{settings.MaxPerMinute, settings.MaxRecipientsPerDay};
}

std::string PacedText(Pacer::WallTime until) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(until + std::chrono::seconds(59));
  std::tm local{};
  char text[8] = "";
  if (localtime_r(&seconds, &local) != nullptr) (void)std::strftime(text, sizeof text, "%H:%M", &local);  // fits
  return std::string("paced until ") + text;
}

}  // namespace vellomar
