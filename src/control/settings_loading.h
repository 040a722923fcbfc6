#pragma once

#include <string>
#include <vector>

#include "common/settings.h"
#include "common/settings_table.h"

namespace vellomar {

class RegistryKey;

// Reading the stored values into settings snapshots, by the settings table's rows.

struct LoadedSettings {
  Settings settings;
  // Log lines about values that could not be used as stored, and about a store that could
  // not be read at all.
  std::vector<std::string> problems;
};

// Every stored value, as at start: a value that is unusable as stored gets its default, which
// is written back when its row says so.
LoadedSettings LoadSettings(const RegistryKey& key);
// The next relay's values read again (a confirmed Modes or account dialog) into a copy of
// `current`; every other value stays as it was read at start.
Settings ReloadRelaySettings(const RegistryKey& key, const Settings& current);

}  // namespace vellomar
