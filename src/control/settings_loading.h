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
// is written back when its row says so; an account section named as the default account, or
// only letter case apart from one read before it, is left out with a line in `problems`.
LoadedSettings LoadSettings(const RegistryKey& key);
// The next relay's values read again (a confirmed Modes or account dialog) into a copy of
// `current`; every other value stays as it was read at start. Account sections that cannot be
// used are left out, each with a log line in `problems` when given.
Settings ReloadRelaySettings(const RegistryKey& key, const Settings& current,
                             std::vector<std::string>* problems = nullptr);

}  // namespace vellomar
