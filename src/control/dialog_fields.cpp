#include "control/dialog_fields.h"

#include "common/server_address.h"
#include "control/autostart.h"
#include "control/registry_key.h"
#include "control/settings_loading.h"

namespace vellomar {

ModesFields LoadModesFields() {
  RegistryKey key = SettingsKey();
  ModesFields fields;
  fields.dns = key.Read(KeyOf(&Settings::DNS));
  fields.smtp = key.Read(KeyOf(&Settings::SMTP));
  fields.alternate = key.Read(KeyOf(&Settings::Alternate));
  fields.trueRelaying = IsOne(key.Read(KeyOf(&Settings::REAL_RELAY)));
  return fields;
}

std::optional<ModesError> CheckModesFields(const ModesFields& fields) {
  bool missing = fields.trueRelaying ? fields.dns.empty() : fields.smtp.empty();
  if (missing) return ModesError{"You must fill the entry associated to the selected mode", "Error"};
  // A text that is no address would be looked up as a name and never found; an IPv6 address
  // with a port needs its brackets, "[2001:db8::25]:587".
  for (const std::string* server : {&fields.smtp, &fields.dns, &fields.alternate}) {
    if (!server->empty() && !IsServerAddressText(*server)) {
      return ModesError{"Invalid server address: " + *server, "Error"};
    }
  }
  return std::nullopt;
}

bool StoreModesFields(const ModesFields& fields) {
  if (CheckModesFields(fields)) return false;
  RegistryKey key = SettingsKey();
  key.Write(KeyOf(&Settings::DNS), fields.dns);
  key.Write(KeyOf(&Settings::SMTP), fields.smtp);
  key.Write(KeyOf(&Settings::Alternate), fields.alternate);
  key.Write(KeyOf(&Settings::REAL_RELAY), BoolText(fields.trueRelaying));
  return true;
}

SettingsFields LoadSettingsFields() {
  RegistryKey key = SettingsKey();
  SettingsFields fields;
  fields.autostart = !ReadAutostart().empty();
  fields.minimize = IsOne(key.Read(KeyOf(&Settings::Minimize)));
  fields.logSize = key.Read(KeyOf(&Settings::Logsize));
  fields.writeRecipients = IsOne(key.Read(KeyOf(&Settings::Logrec)));
  fields.warnTotal = IsOne(key.Read(KeyOf(&Settings::Logabo)));
  fields.warnTemporary = IsOne(key.Read(KeyOf(&Settings::Logdel)));
  fields.input = key.Read(KeyOf(&Settings::Input));
  fields.output = key.Read(KeyOf(&Settings::Output));
  fields.allow = key.Read(KeyOf(&Settings::Allow));
  fields.ports = key.Read(KeyOf(&Settings::Ports));
  fields.certificate = key.Read(KeyOf(&Settings::TLS_Certificate));
  fields.key = key.Read(KeyOf(&Settings::TLS_Key));
  fields.minVersion = key.Read(KeyOf(&Settings::TLS_MinVersion));
  fields.authInClear = IsOne(key.Read(KeyOf(&Settings::AuthInClear)));
  fields.requireAuth = IsOne(key.Read(KeyOf(&Settings::RequireAuth)));
  fields.maxSize = key.Read(KeyOf(&Settings::MaxSize));
  return fields;
}

void StoreSettingsFields(const SettingsFields& fields) {
  RegistryKey key = SettingsKey();
  key.Write(KeyOf(&Settings::Minimize), BoolText(fields.minimize));
  key.Write(KeyOf(&Settings::Logsize), fields.logSize);
  key.Write(KeyOf(&Settings::Logrec), BoolText(fields.writeRecipients));
  key.Write(KeyOf(&Settings::Logabo), BoolText(fields.warnTotal));
  key.Write(KeyOf(&Settings::Logdel), BoolText(fields.warnTemporary));
  key.Write(KeyOf(&Settings::Input), fields.input);
  key.Write(KeyOf(&Settings::Output), fields.output);
  key.Write(KeyOf(&Settings::Allow), fields.allow);
  key.Write(KeyOf(&Settings::Ports), fields.ports);
  key.Write(KeyOf(&Settings::TLS_Certificate), fields.certificate);
  key.Write(KeyOf(&Settings::TLS_Key), fields.key);
  key.Write(KeyOf(&Settings::TLS_MinVersion), fields.minVersion);
  key.Write(KeyOf(&Settings::AuthInClear), BoolText(fields.authInClear));
  key.Write(KeyOf(&Settings::RequireAuth), BoolText(fields.requireAuth));
  key.Write(KeyOf(&Settings::MaxSize), fields.maxSize);
  WriteAutostart(fields.autostart ? AutostartProgramPath() : "");
}

}  // namespace vellomar
