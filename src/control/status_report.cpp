#include "control/status_report.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "platform/local_clock.h"
#include "spool/queue_table.h"

namespace vellomar {

namespace {

using Json = nlohmann::json;

template <typename T>
Json OrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

Json Counts(const RecipientCounts& counts) {
  return {{"due", counts.due}, {"deferred", counts.deferred}, {"paced", counts.paced}, {"signIn", counts.signIn}};
}

Json AccountJson(const AccountReport& account) {
  return {{"name", account.name},
          {"messages", account.messages},
          {"recipients", Counts(account.recipients)},
          {"lastSuccess", OrNull(account.lastSuccess)},
          {"lastFailure", OrNull(account.lastFailure)},
          {"lastFailureReason", TextOrNull(account.lastFailureReason)},
          {"signIn", account.signIn},
          {"loginRefused", account.loginRefused},
          {"pacedUntil", OrNull(account.pacedUntil)},
          {"pace",
           {{"messagesLastMinute", account.messagesLastMinute},
            {"maxPerMinute", account.maxPerMinute},
            {"recipientsLastDay", account.recipientsLastDay},
            {"maxRecipientsPerDay", account.maxRecipientsPerDay}}}};
}

// "2026-12-07 14:05", local time.
std::string When(int64_t time) {
  std::tm local = LocalTimeAt(static_cast<std::time_t>(time));
  char text[32] = "";
  (void)std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);  // fits
  return text;
}

std::string Ago(int64_t time, int64_t now) { return When(time) + " (" + AgeText(time, now) + " ago)"; }

std::string Bytes(uint64_t bytes) {
  const char* units[] = {"bytes", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) value /= 1024, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

std::string Joined(const std::vector<std::string>& parts, const char* between) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : between) + part;
  return text;
}

// Nagios performance data: 'label'=value[unit];[warn];[crit].
std::string Performance(const RelayStatus& status, const Settings& settings) {
  auto limit = [](int32_t minutes) { return minutes > 0 ? std::to_string(int64_t(minutes) * 60) : std::string(); };
  const RecipientCounts& r = status.recipients;
  return "messages=" + std::to_string(status.messages) + " recipients=" + std::to_string(r.Total()) +
         " oldest=" + std::to_string(status.oldestAge.value_or(0)) + "s;" + limit(settings.WarnAfter) + ";" +
         limit(settings.CriticalAfter) + " due=" + std::to_string(r.due) + " deferred=" + std::to_string(r.deferred) +
         " paced=" + std::to_string(r.paced) + " signin=" + std::to_string(r.signIn);
}

std::string Summary(const RelayStatus& status) {
  if (!status.problems.empty()) return Joined(status.problems, "; ");
  std::string text = std::to_string(status.messages) + (status.messages == 1 ? " message waits" : " messages wait");
  if (status.oldestAge) text += ", the oldest for " + AgeText(0, *status.oldestAge);
  return text;
}

std::string RunningLine(const RelayStatus& status) {
  if (!status.running) return "no";
  std::string text = "yes";
  if (status.pid) text += ", process " + std::to_string(*status.pid);
  if (status.since) text += ", since " + When(*status.since) + " (" + AgeText(*status.since, status.time) + ")";
  return text;
}

std::string SpoolLine(const RelayStatus& status) {
  std::string text = status.writable ? "writable" : "not writable";
  if (status.freeBytes) text += ", " + Bytes(*status.freeBytes) + " free";
  if (status.spoolTroubleAt) text += "; last trouble " + Ago(*status.spoolTroubleAt, status.time) + ": " + status.spoolTrouble;
  return text;
}

std::string WaitingLine(const RelayStatus& status) {
  const RecipientCounts& r = status.recipients;
  std::string text = std::to_string(status.messages) + (status.messages == 1 ? " message, " : " messages, ") +
                     std::to_string(r.Total()) + (r.Total() == 1 ? " recipient" : " recipients");
  if (r.Total() == 0) return text;
  text += ": " + std::to_string(r.due) + " due, " + std::to_string(r.deferred) + " deferred";
  if (status.nextTry) text += " (next try " + When(*status.nextTry) + ")";
  return text + ", " + std::to_string(r.paced) + " paced, " + std::to_string(r.signIn) + " waiting for a sign-in";
}

std::string AccountLine(const AccountReport& account, int64_t now) {
  std::string text = "Account " + account.name + ": " + std::to_string(account.messages) +
                     (account.messages == 1 ? " message" : " messages");
  text += "; last success " + (account.lastSuccess ? Ago(*account.lastSuccess, now) : std::string("none known"));
  if (account.lastFailure) text += "; last failure " + Ago(*account.lastFailure, now) + ": " + account.lastFailureReason;
  text += "; sign-in: " + account.signIn;
  if (account.loginRefused) text += "; the next relay refused the login";
  if (account.maxPerMinute > 0 || account.maxRecipientsPerDay > 0) {
    text += "; pace " + std::to_string(account.messagesLastMinute) + "/" + std::to_string(account.maxPerMinute) +
            " a minute, " + std::to_string(account.recipientsLastDay) + "/" + std::to_string(account.maxRecipientsPerDay) +
            " a day";
    if (account.pacedUntil) text += ", paced until " + When(*account.pacedUntil);
  }
  return text;
}

}  // namespace

std::string HealthName(Health health) {
  switch (health) {
    case Health::Ok:
      return "OK";
    case Health::Warning:
      return "WARNING";
    case Health::Critical:
      return "CRITICAL";
    case Health::Unknown:
      break;
  }
  return "UNKNOWN";
}

std::string StatusText(const RelayStatus& status, const Settings& settings) {
  std::string text = "VELLOMAR " + HealthName(status.health) + " - " + Summary(status);
  if (!status.unreadable.empty()) return text + "\n";
  text += " | " + Performance(status, settings) + "\n";
  text += "Folder:    " + status.folder + "\n";
  text += "Running:   " + RunningLine(status) + "\n";
  if (!status.ports.empty()) {
    std::vector<std::string> ports;
    for (int port : status.ports) ports.push_back(std::to_string(port));
    text += "Listening: " + Joined(ports, ", ") + "\n";
  }
  text += "Spool:     " + SpoolLine(status) + "\n";
  text += "Waiting:   " + WaitingLine(status) + "\n";
  if (status.oldestAge) text += "Oldest:    " + AgeText(0, *status.oldestAge) + "\n";
  for (const AccountReport& account : status.accounts) text += AccountLine(account, status.time) + "\n";
  if (!status.log.empty()) text += "Log:\n  " + Joined(status.log, "\n  ") + "\n";
  return text;
}

std::string StatusJson(const RelayStatus& status) {
  Json accounts = Json::array();
  for (const AccountReport& account : status.accounts) accounts.push_back(AccountJson(account));
  Json troubled = nullptr;
  if (status.spoolTroubleAt) troubled = {{"at", *status.spoolTroubleAt}, {"reason", status.spoolTrouble}};
  bool known = status.unreadable.empty();
  Json object = {
      {"status", LowerCase(HealthName(status.health))},
      {"exitStatus", static_cast<int>(status.health)},
      {"problems", status.problems},
      {"folder", status.folder},
      {"time", status.time},
      {"running", known ? Json(status.running) : Json(nullptr)},
      {"pid", OrNull(status.pid)},
      {"since", OrNull(status.since)},
      {"ports", status.ports},
      {"spool",
       {{"writable", known ? Json(status.writable) : Json(nullptr)},
        {"freeBytes", OrNull(status.freeBytes)},
        {"lastTrouble", troubled}}},
      {"messages", status.messages},
      {"recipients", Counts(status.recipients)},
      {"oldestAgeSeconds", OrNull(status.oldestAge)},
      {"nextTry", OrNull(status.nextTry)},
      {"accounts", accounts},
      {"log", status.log},
  };
  // A text that is not UTF-8 (a line of the log, a server's reply) is given with replacement
  // characters rather than failing the whole answer.
  return object.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace vellomar
