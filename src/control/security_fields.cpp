#include "control/security_fields.h"

#include "common/text.h"
#include "control/registry_key.h"
#include "control/settings.h"

namespace vellomar {

SecurityFields LoadSecurityFields() {
  RegistryKey key = SettingsKey();
  SecurityFields fields;
  fields.tls = key.Read("SMTP_TLS");
  fields.user = key.Read("SMTP_User");
  fields.password = key.Read("SMTP_Password");
  fields.passwordCommand = key.Read("SMTP_PasswordCommand");
  fields.xoauth2 = EqualsIgnoreCase(key.Read("SMTP_Auth"), "XOAUTH2");
  fields.fingerprint = key.Read("SMTP_Fingerprint");
  fields.exchangersMayUseTls = EqualsIgnoreCase(key.Read("MX_TLS"), "may");
  return fields;
}

void StoreSecurityFields(const SecurityFields& fields) {
  RegistryKey key = SettingsKey();
  key.Write("SMTP_TLS", fields.tls);
  key.Write("SMTP_User", fields.user);
  key.Write("SMTP_Password", fields.password);
  key.Write("SMTP_PasswordCommand", fields.passwordCommand);
  key.Write("SMTP_Auth", fields.xoauth2 ? "XOAUTH2" : "");
  key.Write("SMTP_Fingerprint", fields.fingerprint);
  key.Write("MX_TLS", fields.exchangersMayUseTls ? "may" : "none");
  LoadTlsSettings();
}

}  // namespace vellomar
