#include "common/settings_table.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <optional>

namespace vellomar {

namespace {

using enum SettingKind;
using enum SettingEditor;
constexpr SettingReload kWithRelay = SettingReload::WithRelay;
constexpr SettingReload kAtStart = SettingReload::AtStart;

constexpr std::string_view kLocalNetworks =
    "127.0.0.0/8 ::1/128 10.0.0.0/8 172.16.0.0/12 192.168.0.0/16 169.254.0.0/16 fe80::/10 fc00::/7";

// Read at start in this order; the defaults that are written back land in the store in it.
const SettingRow kRows[] = {
    {"REAL_RELAY", "0", Flag, false, kWithRelay, ModesDialog, &Settings::REAL_RELAY},
    {"SMTP", "", Text, false, kWithRelay, ModesDialog, &Settings::SMTP},
    {"DNS", "", Text, false, kWithRelay, ModesDialog, &Settings::DNS},
    {"Alternate", "", Text, false, kWithRelay, ModesDialog, &Settings::Alternate},
    {"Minimize", "0", Flag, false, kAtStart, SettingsDialog, &Settings::Minimize},
    {"Logsize", "10", Number, true, kAtStart, SettingsDialog, &Settings::Logsize},
    {"Logrec", "0", Flag, false, kAtStart, SettingsDialog, &Settings::Logrec},
    {"Logabo", "0", Flag, false, kAtStart, SettingsDialog, &Settings::Logabo},
    {"Logdel", "0", Flag, false, kAtStart, SettingsDialog, &Settings::Logdel},
    {"Input", "100", Number, true, kAtStart, SettingsDialog, &Settings::Input},
    {"Output", "100", Number, true, kAtStart, SettingsDialog, &Settings::Output},
    {"Allow", kLocalNetworks, Networks, false, kAtStart, SettingsDialog, &Settings::Allow},
    {"SMTP_TLS", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_TLS},
    {"SMTP_User", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_User},
    {"SMTP_Password", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_Password},
    {"SMTP_PasswordCommand", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_PasswordCommand},
    {"SMTP_Auth", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_Auth},
    {"SMTP_Fingerprint", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_Fingerprint},
    {"MX_TLS", "", Text, false, kWithRelay, SecurityDialog, &Settings::MX_TLS},
    {"SMTP_OAuth", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_OAuth},
    {"SMTP_OAuthClientId", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_OAuthClientId},
    {"SMTP_OAuthClientSecret", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_OAuthClientSecret},
    {"SMTP_OAuthTenant", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_OAuthTenant},
    {"SMTP_OAuthAuthorizeUrl", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_OAuthAuthorizeUrl},
    {"SMTP_OAuthTokenUrl", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_OAuthTokenUrl},
    {"SMTP_OAuthDeviceUrl", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_OAuthDeviceUrl},
    {"SMTP_OAuthScope", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_OAuthScope},
    {"SMTP_OAuthFlow", "user", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_OAuthFlow},
    {"SMTP_OAuthCertificate", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_OAuthCertificate},
    {"SMTP_OAuthServiceAccount", "", Text, false, kWithRelay, SecurityDialog, &Settings::SMTP_OAuthServiceAccount},
    {"Lifetime", "5", Days, true, kAtStart, None, &Settings::Lifetime},
    {"IPFamily", "any", Text, false, kAtStart, None, &Settings::IPFamily},
    {"Aliases", "", Text, false, kAtStart, None, &Settings::Aliases},
    {"AdminAddress", "", Text, false, kAtStart, None, &Settings::AdminAddress},
    {"LocalDomain", "", Text, false, kAtStart, None, &Settings::LocalDomain},
    {"LocalSender", "", Text, false, kAtStart, None, &Settings::LocalSender},
    {"Ports", "", Text, false, kAtStart, SettingsDialog, &Settings::Ports},
    {"TLS_Certificate", "", Text, false, kAtStart, SettingsDialog, &Settings::TLS_Certificate},
    {"TLS_Key", "", Text, false, kAtStart, SettingsDialog, &Settings::TLS_Key},
    {"TLS_MinVersion", "1.2", Text, false, kAtStart, SettingsDialog, &Settings::TLS_MinVersion},
    {"AuthInClear", "0", Flag, false, kAtStart, SettingsDialog, &Settings::AuthInClear},
    {"RequireAuth", "0", Flag, false, kAtStart, SettingsDialog, &Settings::RequireAuth},
    {"MaxSize", "52428800", Count, false, kAtStart, SettingsDialog, &Settings::MaxSize},
    {"Senders", "", Text, false, kWithRelay, SecurityDialog, &Settings::Senders},
    {"RewriteSender", "", Text, false, kWithRelay, SecurityDialog, &Settings::RewriteSender},
    {"MessagesPerConnection", "0", Count, false, kWithRelay, SecurityDialog, &Settings::MessagesPerConnection},
    {"ConnectionsPerRelay", "0", Count, false, kWithRelay, SecurityDialog, &Settings::ConnectionsPerRelay},
    {"MaxPerMinute", "0", Count, false, kWithRelay, SecurityDialog, &Settings::MaxPerMinute},
    {"MaxRecipientsPerDay", "0", Count, false, kWithRelay, SecurityDialog, &Settings::MaxRecipientsPerDay},
    {"Transport", "smtp", Text, false, kWithRelay, SecurityDialog, &Settings::Transport},
    {"GraphUrl", "https://graph.microsoft.com/v1.0", Text, false, kWithRelay, SecurityDialog, &Settings::GraphUrl},
    {"GraphSaveToSent", "1", Flag, false, kWithRelay, SecurityDialog, &Settings::GraphSaveToSent},
    {"Notify", "1", Flag, false, kAtStart, None, &Settings::Notify},
    {"WarnAfter", "60", Count, false, kAtStart, None, &Settings::WarnAfter},
    {"CriticalAfter", "1440", Count, false, kAtStart, None, &Settings::CriticalAfter},
};

// What an account section holds: the next relay and everything about sending through it.
constexpr std::string_view kAccountKeys[] = {
    "SMTP", "SMTP_TLS", "SMTP_User", "SMTP_Password", "SMTP_PasswordCommand", "SMTP_Auth", "SMTP_Fingerprint",
    "SMTP_OAuth", "SMTP_OAuthClientId", "SMTP_OAuthClientSecret", "SMTP_OAuthTenant", "SMTP_OAuthAuthorizeUrl",
    "SMTP_OAuthTokenUrl", "SMTP_OAuthDeviceUrl", "SMTP_OAuthScope", "SMTP_OAuthFlow", "SMTP_OAuthCertificate",
    "SMTP_OAuthServiceAccount", "Senders", "RewriteSender", "MessagesPerConnection", "ConnectionsPerRelay",
    "MaxPerMinute", "MaxRecipientsPerDay", "Transport", "GraphUrl", "GraphSaveToSent",
};

bool AllZeros(const std::string& text) {
  return !text.empty() && text.find_first_not_of('0') == std::string::npos;
}

// The value a text gives for a number-like row, or nothing when it is unusable.
std::optional<int32_t> NumberOf(SettingKind kind, const std::string& text) {
  int32_t value = DecimalPrefix(text);
  if (kind == Number) return value != 0 ? std::optional(value) : std::nullopt;
  if (value > 0 || (value == 0 && AllZeros(text))) return value;
  return std::nullopt;
}

template <typename T>
T& FieldOf(const SettingRow& row, Settings& settings) {
  return settings.*std::get<T Settings::*>(row.field);
}

}  // namespace

std::span<const SettingRow> SettingRows() { return kRows; }

bool IsAccountValue(const SettingRow& row) {
  for (std::string_view key : kAccountKeys) {
    if (key == row.key) return true;
  }
  return false;
}

const SettingRow& RowOf(const SettingField& field) {
  for (const SettingRow& row : kRows) {
    if (row.field == field) return row;
  }
  // Every field of Settings has its row; a field without one is a fault of this table.
  std::abort();
}

SettingReading ApplySetting(const SettingRow& row, const std::string& text, Settings& settings) {
  SettingReading reading;
  switch (row.kind) {
    case Text:
      FieldOf<std::string>(row, settings) = text;
      break;
    case Flag:
      // Unset, a flag is its default (Notify is on unless stored as 0).
      FieldOf<bool>(row, settings) = IsOne(text.empty() ? std::string(row.defaultText) : text);
      break;
    case Number:
    case Days:
    case Count: {
      auto value = NumberOf(row.kind, text);
      reading.usable = value.has_value();
      FieldOf<int32_t>(row, settings) = value ? *value : *NumberOf(row.kind, std::string(row.defaultText));
      break;
    }
    case Networks:
      FieldOf<NetworkList>(row, settings) = AllowedNetworks(text, reading.problems);
      break;
  }
  return reading;
}

Settings::Settings() {
  for (const SettingRow& row : kRows) (void)ApplySetting(row, std::string(row.defaultText), *this);  // defaults are usable
}

NetworkList DefaultAllowedNetworks() { return ParseNetworkList(std::string(kLocalNetworks)).list; }

int32_t DecimalPrefix(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) break;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

NetworkList AllowedNetworks(const std::string& text, std::vector<std::string>& problems) {
  ParsedNetworkList parsed = ParseNetworkList(text);
  for (const std::string& entry : parsed.invalid) problems.push_back("Allow: invalid entry ignored: " + entry);
  if (!parsed.list.empty()) return parsed.list;
  // A list that is all typing errors is taken as unset rather than as "refuse everyone": the
  // default serves no client beyond the machine and its local networks.
  if (!parsed.invalid.empty()) problems.push_back("Allow: no valid entry, the default networks apply");
  return DefaultAllowedNetworks();
}

}  // namespace vellomar
