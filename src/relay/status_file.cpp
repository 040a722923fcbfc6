#include "relay/status_file.h"

#include <nlohmann/json.hpp>

namespace vellomar {

namespace {

using Json = nlohmann::json;

constexpr int kVersion = 1;
// Far above what a relay writes: a reason is a log line's worth, accounts are a handful, and
// the waiting files a few thousand.
constexpr size_t kMaxText = 1024;
constexpr size_t kMaxAccounts = 256;
constexpr size_t kMaxPorts = 64;
constexpr size_t kMaxNextTries = 200000;
// Some 35,000 years of seconds either way.
constexpr int64_t kTimeBound = int64_t(1) << 40;

// An integer within [low, high]; none for anything else.
std::optional<int64_t> IntegerIn(const Json& value, int64_t low, int64_t high) {
  if (!value.is_number_integer()) return std::nullopt;
  if (value.is_number_unsigned()) {
    uint64_t number = value.get<uint64_t>();
    if (high < 0 || number > static_cast<uint64_t>(high)) return std::nullopt;
    if (low > 0 && number < static_cast<uint64_t>(low)) return std::nullopt;
    return static_cast<int64_t>(number);
  }
  int64_t number = value.get<int64_t>();
  if (number < low || number > high) return std::nullopt;
  return number;
}

std::optional<int64_t> Integer(const Json& object, const char* name, int64_t low, int64_t high) {
  auto found = object.find(name);
  if (found == object.end()) return std::nullopt;
  return IntegerIn(*found, low, high);
}

std::optional<int64_t> Time(const Json& object, const char* name) { return Integer(object, name, -kTimeBound, kTimeBound); }

std::string Text(const Json& object, const char* name) {
  auto found = object.find(name);
  if (found == object.end() || !found->is_string()) return {};
  const std::string& text = found->get_ref<const std::string&>();
  return text.substr(0, kMaxText);
}

bool Flag(const Json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_boolean() && found->get<bool>();
}

AccountStatus AccountFrom(const Json& entry) {
  AccountStatus account;
  account.lastSuccess = Time(entry, "lastSuccess");
  account.lastFailure = Time(entry, "lastFailure");
  account.lastFailureReason = Text(entry, "lastFailureReason");
  account.signInNeeded = Flag(entry, "signInNeeded");
  account.loginRefused = Flag(entry, "loginRefused");
  return account;
}

Json AccountJson(const AccountStatus& account) {
  Json entry = Json::object();
  if (account.lastSuccess) entry["lastSuccess"] = *account.lastSuccess;
  if (account.lastFailure) entry["lastFailure"] = *account.lastFailure;
  if (!account.lastFailureReason.empty()) entry["lastFailureReason"] = account.lastFailureReason;
  entry["signInNeeded"] = account.signInNeeded;
  entry["loginRefused"] = account.loginRefused;
  return entry;
}

void ReadPorts(const Json& state, RelayStatusFile& status) {
  auto ports = state.find("ports");
  if (ports == state.end() || !ports->is_array()) return;
  for (const Json& port : *ports) {
    if (status.ports.size() == kMaxPorts) break;
    if (auto number = IntegerIn(port, 1, 65535)) status.ports.push_back(static_cast<int>(*number));
  }
}

void ReadAccounts(const Json& state, RelayStatusFile& status) {
  auto accounts = state.find("accounts");
  if (accounts == state.end() || !accounts->is_object()) return;
  for (const auto& [name, entry] : accounts->items()) {
    if (status.accounts.size() == kMaxAccounts) break;
    if (entry.is_object() && name.size() <= kMaxText) status.accounts[name] = AccountFrom(entry);
  }
}

void ReadNextTries(const Json& state, RelayStatusFile& status) {
  auto tries = state.find("nextTries");
  if (tries == state.end() || !tries->is_object()) return;
  for (const auto& [name, time] : tries->items()) {
    if (status.nextTries.size() == kMaxNextTries) break;
    auto at = IntegerIn(time, -kTimeBound, kTimeBound);
    if (at && name.size() <= kMaxText) status.nextTries[name] = *at;
  }
}

}  // namespace

std::string StatusFileText(const RelayStatusFile& status) {
  Json accounts = Json::object();
  for (const auto& [name, account] : status.accounts) accounts[name] = AccountJson(account);
  Json state = {{"version", kVersion},     {"pid", status.pid},         {"started", status.started},
                {"ports", status.ports},   {"accounts", accounts},      {"nextTries", status.nextTries}};
  if (status.spoolTroubleAt) {
    state["spoolTrouble"] = {{"at", *status.spoolTroubleAt}, {"reason", status.spoolTrouble}};
  }
  // A text that is not UTF-8 (an account's name, a server's reply) is written with replacement
  // characters rather than throwing.
  return state.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::optional<RelayStatusFile> ParseStatusFile(std::string_view text) {
  if (text.size() > kMaxStatusFile) return std::nullopt;
  Json state = Json::parse(text, nullptr, false);
  if (!state.is_object() || Integer(state, "version", kVersion, kVersion) != kVersion) return std::nullopt;
  RelayStatusFile status;
  status.pid = Integer(state, "pid", 0, INT32_MAX).value_or(0);
  status.started = Time(state, "started").value_or(0);
  ReadPorts(state, status);
  ReadAccounts(state, status);
  ReadNextTries(state, status);
  auto trouble = state.find("spoolTrouble");
  if (trouble != state.end() && trouble->is_object()) {
    status.spoolTroubleAt = Time(*trouble, "at");
    if (status.spoolTroubleAt) status.spoolTrouble = Text(*trouble, "reason");
  }
  return status;
}

}  // namespace vellomar
