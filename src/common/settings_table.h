#pragma once

#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/settings.h"

namespace vellomar {

// How a stored text becomes a field's value.
enum class SettingKind {
  Text,      // as stored, never trimmed
  Flag,      // true exactly when the text is "1"; an empty text is the default
  Number,    // the decimal prefix; 0 (or no digits) means the default
  Days,      // the decimal prefix from 0 up; negative or no digits mean the default
  Count,     // as Days, for a count or size that 0 switches off
  Networks,  // blank- or comma-separated networks; none valid means the default
};

// When a stored value is read again: with the next relay's values whenever a dialog that edits
// them is confirmed, or only at the next start.
enum class SettingReload { WithRelay, AtStart };

// Which dialog edits the value.
enum class SettingEditor { None, ModesDialog, SettingsDialog, SecurityDialog };

using SettingField = std::variant<bool Settings::*, int32_t Settings::*, std::string Settings::*,
                                  NetworkList Settings::*>;

// One stored value: every fact about it in one place. Adding a value is one row and its use.
struct SettingRow {
  std::string_view key;
  // What an unset or unusable value means, as it would be stored.
  std::string_view defaultText;
  SettingKind kind;
  // An unusable stored value is replaced by the default in the store.
  bool writtenBack;
  SettingReload reload;
  SettingEditor editor;
  SettingField field;
};

// Every stored value, in the order they are read at start (the order in which defaults are
// written back into a new store).
std::span<const SettingRow> SettingRows();
// The row of a field; every field has one.
const SettingRow& RowOf(const SettingField& field);
// Whether the value belongs to an account (is read from an account's section).
bool IsAccountValue(const SettingRow& row);
// The key a field is stored under.
inline std::string KeyOf(const SettingField& field) { return std::string(RowOf(field).key); }

// What reading one stored text gave: whether it is usable as stored, and the log lines about
// what in it could not be used.
struct SettingReading {
  bool usable = true;
  std::vector<std::string> problems;
};
// Sets the row's field of `settings` from the stored text (missing: empty). An unusable text
// leaves the row's default in the field.
SettingReading ApplySetting(const SettingRow& row, const std::string& text, Settings& settings);

// The decimal integer at the start of a text: blanks skipped, an optional sign, digits up to the
// first other character; no digits give 0. Values beyond 32 bits saturate.
int32_t DecimalPrefix(const std::string& text);
// Stored booleans are true exactly when the text is "1".
inline bool IsOne(const std::string& text) { return text == "1"; }
inline const char* BoolText(bool value) { return value ? "1" : "0"; }

// The networks an `Allow` text names; the default when it names none. Each entry that is not a
// network, and a text that held entries but no valid one, adds a log line to `problems`.
NetworkList AllowedNetworks(const std::string& text, std::vector<std::string>& problems);

}  // namespace vellomar
