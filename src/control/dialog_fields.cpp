#include "control/dialog_fields.h"

#include "control/autostart.h"
#include "control/registry_key.h"
#include "control/settings.h"

namespace vellomar {

ModesFields LoadModesFields() {
  RegistryKey key = SettingsKey();
  ModesFields fields;
  fields.dns = key.Read("DNS");
  fields.smtp = key.Read("SMTP");
  fields.alternate = key.Read("Alternate");
  fields.trueRelaying = IsOne(key.Read("REAL_RELAY"));
  return fields;
}

std::optional<ModesError> CheckModesFields(const ModesFields& fields) {
  bool missing = fields.trueRelaying ? fields.dns.empty() : fields.smtp.empty();
  if (!missing) return std::nullopt;
  return ModesError{"You must fill the entry associated to the selected mode", "Error"};
}

bool StoreModesFields(const ModesFields& fields) {
  if (CheckModesFields(fields)) return false;
  RegistryKey key = SettingsKey();
  key.Write("DNS", fields.dns);
  key.Write("SMTP", fields.smtp);
  key.Write("Alternate", fields.alternate);
  key.Write("REAL_RELAY", BoolText(fields.trueRelaying));
  return true;
}

SettingsFields LoadSettingsFields() {
  RegistryKey key = SettingsKey();
  SettingsFields fields;
  fields.autostart = !ReadAutostart().empty();
  fields.minimize = IsOne(key.Read("Minimize"));
  fields.logSize = key.Read("Logsize");
  fields.writeRecipients = IsOne(key.Read("Logrec"));
  fields.warnTotal = IsOne(key.Read("Logabo"));
  fields.warnTemporary = IsOne(key.Read("Logdel"));
  fields.input = key.Read("Input");
  fields.output = key.Read("Output");
  fields.allow = key.Read("Allow");
  return fields;
}

void StoreSettingsFields(const SettingsFields& fields) {
  RegistryKey key = SettingsKey();
  key.Write("Minimize", BoolText(fields.minimize));
  key.Write("Logsize", fields.logSize);
  key.Write("Logrec", BoolText(fields.writeRecipients));
  key.Write("Logabo", BoolText(fields.warnTotal));
  key.Write("Logdel", BoolText(fields.warnTemporary));
  key.Write("Input", fields.input);
  key.Write("Output", fields.output);
  key.Write("Allow", fields.allow);
  WriteAutostart(fields.autostart ? AutostartProgramPath() : "");
}

}  // namespace vellomar
