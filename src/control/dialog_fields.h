#pragma once

#include <optional>
#include <string>

namespace vellomar {

// What the Modes and Settings dialogs show and store, apart from their widgets: the Qt
// dialogs only copy these fields to and from their controls.

struct ModesFields {
  std::string smtp;       // "Next SMTP relay :" (1020)
  std::string dns;        // "DNS address :" (1021)
  std::string alternate;  // alternate SMTP server (1033)
  bool trueRelaying = false;  // radio 1019 checked; else 1018
};

struct ModesError {
  std::string text;
  std::string caption;
};

ModesFields LoadModesFields();
// The check made on OK: the entry of the selected mode must not be empty, and each filled
// entry must be a server address: a host or address, optionally ":port", an IPv6 address
// bare or in brackets ("[2001:db8::25]:587").
std::optional<ModesError> CheckModesFields(const ModesFields& fields);
// On OK: checks, then stores the four values; false (nothing written) when the check fails.
bool StoreModesFields(const ModesFields& fields);

struct SettingsFields {
  bool minimize = false;        // 1031
  bool autostart = false;       // 1032
  std::string logSize;          // 1035
  std::string input;            // 1036
  std::string output;           // 1037
  bool writeRecipients = false;  // 1038
  bool warnTotal = false;        // 1039
  bool warnTemporary = false;    // 1040
  std::string allow;             // "Allowed clients (networks) :" (1042)
  // The listener for devices and laptops, read at start.
  std::string ports;             // 1043
  std::string certificate;       // 1044
  std::string key;               // 1045
  std::string minVersion;        // 1046
  bool authInClear = false;      // 1047
  bool requireAuth = false;      // 1048
  std::string maxSize;           // 1049
};

SettingsFields LoadSettingsFields();
// On OK, without any check: every value as given, then the autostart value.
void StoreSettingsFields(const SettingsFields& fields);

}  // namespace vellomar
