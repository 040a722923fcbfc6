#include "control/security_fields.h"

#include <array>
#include <utility>

#include "common/text.h"
#include "control/settings_loading.h"

namespace vellomar {

namespace {

// Counts are stored as typed, like the texts.
using TextRow = std::pair<SettingField, std::string*>;

// The stored texts and the fields they fill.
std::array<TextRow, 25> TextRows(SecurityFields& f) {
  OAuthSettings& s = f.signIn;
  return {TextRow{&Settings::SMTP, &f.nextRelay},
          {&Settings::SMTP_TLS, &f.tls},
          {&Settings::SMTP_User, &f.user},
          {&Settings::SMTP_Password, &f.password},
          {&Settings::SMTP_PasswordCommand, &f.passwordCommand},
          {&Settings::SMTP_Fingerprint, &f.fingerprint},
          {&Settings::SMTP_OAuth, &s.provider},
          {&Settings::SMTP_OAuthClientId, &s.clientId},
          {&Settings::SMTP_OAuthClientSecret, &s.clientSecret},
          {&Settings::SMTP_OAuthTenant, &s.tenant},
          {&Settings::SMTP_OAuthAuthorizeUrl, &s.authorizeUrl},
          {&Settings::SMTP_OAuthTokenUrl, &s.tokenUrl},
          {&Settings::SMTP_OAuthDeviceUrl, &s.deviceUrl},
          {&Settings::SMTP_OAuthScope, &s.scope},
          {&Settings::SMTP_OAuthFlow, &s.flow},
          {&Settings::SMTP_OAuthCertificate, &s.certificate},
          {&Settings::SMTP_OAuthServiceAccount, &s.serviceAccount},
          {&Settings::Senders, &f.senders},
          {&Settings::RewriteSender, &f.rewriteSender},
          {&Settings::MessagesPerConnection, &f.messagesPerConnection},
          {&Settings::ConnectionsPerRelay, &f.connectionsPerRelay},
          {&Settings::MaxPerMinute, &f.maxPerMinute},
          {&Settings::MaxRecipientsPerDay, &f.maxRecipientsPerDay},
          {&Settings::Transport, &f.transport},
          {&Settings::GraphUrl, &f.graphUrl}};
}

bool IsMainKey(const RegistryKey& key) { return key.path() == SettingsKey().path(); }

}  // namespace

SecurityFields LoadSecurityFields(const RegistryKey& key) {
  SecurityFields fields;
  for (const auto& [field, value] : TextRows(fields)) *value = key.Read(KeyOf(field));
  fields.xoauth2 = EqualsIgnoreCase(key.Read(KeyOf(&Settings::SMTP_Auth)), "XOAUTH2");
  fields.graphSaveToSent = key.Read(KeyOf(&Settings::GraphSaveToSent)) != "0";
  if (IsMainKey(key)) fields.exchangersMayUseTls = EqualsIgnoreCase(key.Read(KeyOf(&Settings::MX_TLS)), "may");
  return fields;
}

void StoreSecurityFields(const SecurityFields& fields, const RegistryKey& key) {
  SecurityFields copy = fields;
  for (const auto& [field, value] : TextRows(copy)) key.Write(KeyOf(field), *value);
  key.Write(KeyOf(&Settings::SMTP_Auth), fields.xoauth2 ? "XOAUTH2" : "");
  // Left empty when it is the default, as the other values the dialog leaves alone.
  key.Write(KeyOf(&Settings::GraphSaveToSent), fields.graphSaveToSent ? "" : "0");
  if (IsMainKey(key)) key.Write(KeyOf(&Settings::MX_TLS), fields.exchangersMayUseTls ? "may" : "none");
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
