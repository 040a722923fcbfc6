#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/network_list.h"
#include "common/settings.h"

namespace vellomar {

class RegistryKey;

// Reading the stored values into TheSettings(), and the rules for reading them.

// The decimal integer at the start of a text: blanks skipped, an optional sign, digits up to
// the first other character; no digits give 0. Values beyond 32 bits saturate.
int32_t DecimalPrefix(const std::string& text);
// Stored booleans are true exactly when the text is "1".
inline bool IsOne(const std::string& text) { return text == "1"; }
inline const char* BoolText(bool value) { return value ? "1" : "0"; }

// A number value; when it converts to 0 the default is written back and used.
int32_t ReadNumberSetting(const RegistryKey& key, const std::string& name, int32_t defaultValue);

// Reads DNS, SMTP, Alternate and REAL_RELAY from the settings key into TheSettings().
void LoadRelaySettings();
// Reads SMTP with its security and login values, and MX_TLS, into TheSettings(), as one.
void LoadTlsSettings();
// The networks an `Allow` text names; the default when it names none. Each entry that is not
// a network, and a text that held entries but no valid one, adds a log line to `problems`.
NetworkList AllowedNetworks(const std::string& text, std::vector<std::string>& problems);

// Reads Minimize, Logrec, Logabo and Logdel, Input and Output with their defaults, and
// Allow. Returns the log lines about values that could not be used as stored.
std::vector<std::string> LoadStartupSettings();

// Reads Lifetime: a missing, negative or non-numeric value gives the default, written back;
// "0" stays 0 (never give up).
void LoadQueueSettings();

}  // namespace vellomar
