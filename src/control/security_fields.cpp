#include "control/security_fields.h"

#include <array>
#include <utility>

#include "common/text.h"
#include "control/registry_key.h"
#include "control/settings.h"

namespace vellomar {

namespace {

using SignInRow = std::pair<std::string Settings::*, std::string*>;

// The stored sign-in values and the fields they fill.
std::array<SignInRow, 8> SignInRows(OAuthSettings& signIn) {
  return {SignInRow{&Settings::SMTP_OAuth, &signIn.provider},
          {&Settings::SMTP_OAuthClientId, &signIn.clientId},
          {&Settings::SMTP_OAuthClientSecret, &signIn.clientSecret},
          {&Settings::SMTP_OAuthTenant, &signIn.tenant},
          {&Settings::SMTP_OAuthAuthorizeUrl, &signIn.authorizeUrl},
          {&Settings::SMTP_OAuthTokenUrl, &signIn.tokenUrl},
          {&Settings::SMTP_OAuthDeviceUrl, &signIn.deviceUrl},
          {&Settings::SMTP_OAuthScope, &signIn.scope}};
}

}  // namespace

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
  for (const auto& [field, value] : SignInRows(fields.signIn)) *value = key.Read(KeyOf(field));
  fields.nextRelay = key.Read(KeyOf(&Settings::SMTP));
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
  OAuthSettings signIn = fields.signIn;
  for (const auto& [field, value] : SignInRows(signIn)) key.Write(KeyOf(field), *value);
  if (!fields.nextRelay.empty() && key.Read(KeyOf(&Settings::SMTP)).empty()) {
    key.Write(KeyOf(&Settings::SMTP), fields.nextRelay);
  }
}

std::string SuggestedNextRelay(const std::string& provider) {
  // The preset's next relay does not depend on the client, which may not be typed in yet.
  OAuthSettings probe;
  probe.provider = provider;
  probe.clientId = "any client";
  OAuthProviderChoice preset = OAuthProviderFor(probe);
  return preset.provider ? preset.provider->suggestedServer : "";
}

}  // namespace vellomar
