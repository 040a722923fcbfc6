#include "control/security_fields.h"

#include "common/text.h"
#include "control/registry_key.h"
#include "control/settings.h"

namespace vellomar {

SecurityFields LoadSecurityFields() {
  RegistryKey key = SettingsKey();
  SecurityFields fields;
  fields.tls = key.Read(KeyOf(&Settings::SMTP_TLS));
  fields.user = key.Read(KeyOf(&Settings::SMTP_User));
  fields.password = key.Read(KeyOf(&Settings::SMTP_Password));
  fields.passwordCommand = key.Read(KeyOf(&Settings::SMTP_PasswordCommand));
  fields.xoauth2 = EqualsIgnoreCase(key.Read(KeyOf(&Settings::SMTP_Auth)), "XOAUTH2");
  fields.fingerprint = key.Read(KeyOf(&Settings::SMTP_Fingerprint));
  fields.exchangersMayUseTls = EqualsIgnoreCase(key.Read(KeyOf(&Settings::MX_TLS)), "may");
  return fields;
}

void StoreSecurityFields(const SecurityFields& fields) {
  RegistryKey key = SettingsKey();
  key.Write(KeyOf(&Settings::SMTP_TLS), fields.tls);
  key.Write(KeyOf(&Settings::SMTP_User), fields.user);
  key.Write(KeyOf(&Settings::SMTP_Password), fields.password);
  key.Write(KeyOf(&Settings::SMTP_PasswordCommand), fields.passwordCommand);
  key.Write(KeyOf(&Settings::SMTP_Auth), fields.xoauth2 ? "XOAUTH2" : "");
  key.Write(KeyOf(&Settings::SMTP_Fingerprint), fields.fingerprint);
  key.Write(KeyOf(&Settings::MX_TLS), fields.exchangersMayUseTls ? "may" : "none");
}

}  // namespace vellomar
