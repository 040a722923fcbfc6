#include "control/settings.h"

#include <cctype>
#include <climits>
#include <iterator>
#include <mutex>

#include "control/registry_key.h"
#include "platform/file_system.h"

namespace vellomar {

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

int32_t ReadNumberSetting(const RegistryKey& key, const std::string& name, int32_t defaultValue) {
  int32_t value = DecimalPrefix(key.Read(name));
  if (value != 0) return value;
  key.Write(name, std::to_string(defaultValue));
  return defaultValue;
}

void LoadRelaySettings() {
  RegistryKey key = SettingsKey();
  Settings& settings = TheSettings();
  settings.DNS.Set(key.Read("DNS"));
  settings.Alternate.Set(key.Read("Alternate"));
  // "1" has no letter case, so the case-blind comparison is this one.
  settings.REAL_RELAY = IsOne(key.Read("REAL_RELAY"));
  // `SMTP` with its login and TLS values, as one.
  LoadTlsSettings();
}

void LoadTlsSettings() {
  RegistryKey key = SettingsKey();
  Settings& settings = TheSettings();
  const std::string names[] = {"SMTP",      "SMTP_TLS",         "SMTP_User", "SMTP_Password", "SMTP_PasswordCommand",
                               "SMTP_Auth", "SMTP_Fingerprint", "MX_TLS"};
  SharedText* fields[] = {&settings.SMTP,     &settings.SMTP_TLS,         &settings.SMTP_User,
                          &settings.SMTP_Password, &settings.SMTP_PasswordCommand, &settings.SMTP_Auth,
                          &settings.SMTP_Fingerprint, &settings.MX_TLS};
  std::string values[std::size(names)];
  for (size_t i = 0; i < std::size(names); ++i) values[i] = key.Read(names[i]);
  {
    std::lock_guard<std::mutex> guard(settings.securityLock);
    for (size_t i = 0; i < std::size(names); ++i) fields[i]->Set(values[i]);
  }
  // Every write of the store makes it the user's alone; a store edited by hand may not be.
  if (!settings.SMTP_Password.Get().empty()) (void)SetFileMode(key.FilePath(), 0600);
}

NetworkList AllowedNetworks(const std::string& text, std::vector<std::string>& problems) {
  ParsedNetworkList parsed = ParseNetworkList(text);
  for (const std::string& entry : parsed.invalid) problems.push_back("Allow: invalid entry ignored: " + entry);
  if (!parsed.list.empty()) return parsed.list;
  // A list that is all typing errors is taken as unset rather than as "refuse everyone":
  // the default serves no client beyond the machine and its local networks.
  if (!parsed.invalid.empty()) problems.push_back("Allow: no valid entry, the default networks apply");
  return DefaultAllowedNetworks();
}

std::vector<std::string> LoadStartupSettings() {
  RegistryKey key = SettingsKey();
  Settings& settings = TheSettings();
  settings.Minimize = IsOne(key.Read("Minimize"));
  settings.Logrec = IsOne(key.Read("Logrec"));
  settings.Logabo = IsOne(key.Read("Logabo"));
  settings.Logdel = IsOne(key.Read("Logdel"));
  settings.Input = ReadNumberSetting(key, "Input", 100);
  settings.Output = ReadNumberSetting(key, "Output", 100);
  std::vector<std::string> problems;
  // Unread, every value would pass for unset: the relay would start with no next relay and
  // the defaults, and only this line says why.
  if (std::string why = UnreadableStoreFile(); !why.empty()) {
    problems.push_back("Error : can't read the settings in " + why);
  }
  settings.Allow.Set(AllowedNetworks(key.Read("Allow"), problems));
  return problems;
}

void LoadQueueSettings() {
  RegistryKey key = SettingsKey();
  constexpr int32_t kDefaultLifetime = 5;
  std::string text = key.Read("Lifetime");
  int32_t days = DecimalPrefix(text);
  bool isZero = !text.empty() && text.find_first_not_of('0') == std::string::npos;
  if (days < 0 || (days == 0 && !isZero)) {
    key.Write("Lifetime", std::to_string(kDefaultLifetime));
    days = kDefaultLifetime;
  }
  TheSettings().Lifetime = days;
}

}  // namespace vellomar
