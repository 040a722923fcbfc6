#include "control/desktop_notifier.h"

#include <algorithm>

namespace vellomar {

namespace {

using Kind = RelayEvent::Kind;

constexpr size_t kSubjectsNamed = 3;
// A notification is read at a glance; the log keeps the whole reason.
constexpr size_t kReasonLength = 200;

std::string Shortened(std::string text) {
  if (text.size() > kReasonLength) text = text.substr(0, kReasonLength - 3) + "...";
  return text;
}

// "<a@x>", "<a@x>, <b@y> and <c@z>", "<a@x>, <b@y>, <c@z> and 4 more": `more` events named
// none of the subjects.
std::string Named(const std::vector<std::string>& subjects, int more) {
  std::string text;
  for (size_t i = 0; i < subjects.size(); ++i) {
    bool last = i + 1 == subjects.size() && more <= 0;
    text += i == 0 ? "" : last ? " and " : ", ";
    text += subjects[i];
  }
  if (more > 0) text += (subjects.empty() ? "" : " and ") + std::to_string(more) + " more";
  return text;
}

std::string Counted(int count, const char* one, const char* many) {
  return count == 1 ? std::string(one) : std::to_string(count) + many;
}

std::string Times(int count) { return count > 1 ? " (" + std::to_string(count) + " times)" : ""; }

std::string OfAccount(const std::string& account) {
  return account.empty() || account == "default" ? "" : " (" + account + ")";
}

std::string Sentence(const std::string& text) {
  if (text.empty() || text.back() == '.') return text;
  return text + ".";
}

}  // namespace

void DesktopNotifier::Add(const RelayEvent& event, TimePoint now) {
  if (!IsNotified(event.kind)) return;
  Entry& entry = entries_[{event.kind, event.account}];
  if (!entry.held) entry.held = Held{.firstAt = now};
  Held& held = *entry.held;
  const int count = std::max(event.count, 1);
  held.count += count;
  if (!event.subject.empty()) {
    bool named = std::find(held.subjects.begin(), held.subjects.end(), event.subject) != held.subjects.end();
    if (!named && held.subjects.size() < kSubjectsNamed) {
      held.subjects.push_back(event.subject);
      named = true;
    }
    if (named) held.named += count;
  }
  if (!event.reason.empty()) held.reason = event.reason;
  if (!event.signIn.empty()) held.signIn = event.signIn;
}

DesktopNotifier::TimePoint DesktopNotifier::DueAt(const Entry& entry) {
  TimePoint gathered = entry.held->firstAt + kGathering;
  return entry.lastShown ? std::max(gathered, *entry.lastShown + kQuietPeriod) : gathered;
}

std::vector<DesktopNotifier::Notification> DesktopNotifier::Due(TimePoint now) {
  std::vector<Notification> due;
  for (auto& [key, entry] : entries_) {
    if (!entry.held || DueAt(entry) > now) continue;
    due.push_back(Compose(key, *entry.held));
    entry.held.reset();
    entry.lastShown = now;
  }
  return due;
}

std::optional<DesktopNotifier::TimePoint> DesktopNotifier::NextDue() const {
  std::optional<TimePoint> next;
  for (const auto& [key, entry] : entries_) {
    if (entry.held && (!next || DueAt(entry) < *next)) next = DueAt(entry);
  }
  return next;
}

DesktopNotifier::Notification DesktopNotifier::Compose(const Key& key, const Held& held) {
  const std::string account = OfAccount(key.second);
  const std::string reason = Shortened(held.reason);
  const int n = held.count;
  const int more = n - held.named;
  switch (key.first) {
    case Kind::GivenUp:
      return {Counted(n, "Recipient given up", " recipients given up") + account,
              Named(held.subjects, more) + (reason.empty() ? "" : ": " + Sentence(reason)) +
                  (n == 1 ? " Its sender gets a failure notice." : " The senders get failure notices."),
              ""};
    case Kind::SignInNeeded:
      return {"Sign in again" + account, Sentence(reason) + " Mail through it waits until you sign in.", held.signIn};
    case Kind::LoginRefused:
      return {"The next relay refused the login" + account + Times(n),
              Sentence(reason) + " Mail through it waits until the login is mended.", ""};
    case Kind::SpoolTrouble:
      return {"Mail cannot be stored" + Times(n), Sentence(reason) + " Mail programs are told to try again later.",
              ""};
    case Kind::MailWaiting:
      return {Counted(n, "A message has waited over an hour", " messages have waited over an hour") + account,
              "To " + Named(held.subjects, more) + (reason.empty() ? "." : "; the last error: " + Sentence(reason)), ""};
    case Kind::Delivered:
    case Kind::Failed:
      break;
  }
  return {};
}

}  // namespace vellomar
