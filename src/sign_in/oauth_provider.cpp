#include "sign_in/oauth_provider.h"

#include <cctype>

#include "common/text.h"

namespace vellomar {

namespace {

OAuthProviderChoice Problem(std::string text) { return OAuthProviderChoice{std::nullopt, std::move(text)}; }

// A tenant ends up inside the endpoints' paths, so only the characters of a domain name or a
// GUID are taken.
bool IsTenant(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') return false;
  }
  return true;
}

// "https://" and a host, without blanks.
bool IsHttpsUrl(const std::string& url) {
  if (!StartsWithIgnoreCase(url, "https://") || url.size() == 8 || url[8] == '/') return false;
  for (char c : url) {
    if (std::isspace(static_cast<unsigned char>(c)) || std::iscntrl(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string HostOf(const std::string& url) {
  std::string rest = url.substr(8);
  return rest.substr(0, rest.find_first_of("/?#"));
}

OAuthProvider Microsoft(const OAuthSettings& settings) {
  const std::string base =
      "https://login.microsoftonline.com/" + (settings.tenant.empty() ? "organizations" : settings.tenant) +
      "/oauth2/v2.0/";
  return OAuthProvider{"microsoft", "Microsoft", base + "authorize", base + "token", base + "devicecode",
                       "https://outlook.office.com/SMTP.Send offline_access", settings.clientId,
                       settings.clientSecret, "smtp.office365.com:587", false, "", "", ""};
}

OAuthProvider Google(const OAuthSettings& settings) {
  return OAuthProvider{"google", "Google", "https://accounts.google.com/o/oauth2/v2/auth",
                       "https://oauth2.googleapis.com/token", "https://oauth2.googleapis.com/device/code",
                       "https://mail.google.com/", settings.clientId, settings.clientSecret, "smtp.gmail.com:587", false, "", "", ""};
}

OAuthProviderChoice Custom(const OAuthSettings& settings) {
  if (settings.tokenUrl.empty()) return Problem("SMTP_OAuthTokenUrl is empty");
  if (settings.scope.empty()) return Problem("SMTP_OAuthScope is empty");
  if (settings.authorizeUrl.empty() && settings.deviceUrl.empty()) {
    return Problem("SMTP_OAuthAuthorizeUrl and SMTP_OAuthDeviceUrl are both empty");
  }
  const std::pair<const char*, const std::string*> urls[] = {{"SMTP_OAuthAuthorizeUrl", &settings.authorizeUrl},
                                                             {"SMTP_OAuthTokenUrl", &settings.tokenUrl},
                                                             {"SMTP_OAuthDeviceUrl", &settings.deviceUrl}};
  for (const auto& [key, url] : urls) {
    if (!url->empty() && !IsHttpsUrl(*url)) return Problem(std::string(key) + " is not an https: address");
  }
  return OAuthProviderChoice{OAuthProvider{"custom", HostOf(settings.tokenUrl), settings.authorizeUrl,
                                           settings.tokenUrl, settings.deviceUrl, settings.scope,
                                           settings.clientId, settings.clientSecret, "", false, "", "", ""},
                             ""};
}

// The common tenants name no organisation: an app signs in to its own tenant only.
bool IsAppTenant(const std::string& tenant) {
  return IsTenant(tenant) && !EqualsIgnoreCase(tenant, "organizations") && !EqualsIgnoreCase(tenant, "common") &&
         !EqualsIgnoreCase(tenant, "consumers");
}

// What an app-only client proves itself with; `serviceAccount` only where the provider takes one.
std::string AppCredentialProblem(const OAuthSettings& settings, bool serviceAccount) {
  bool any = !settings.clientSecret.empty() || !settings.certificate.empty() ||
             (serviceAccount && !settings.serviceAccount.empty());
  if (!any) {
    return serviceAccount ? "the app-only sign-in needs SMTP_OAuthClientSecret, SMTP_OAuthCertificate or "
                            "SMTP_OAuthServiceAccount"
                          : "the app-only sign-in needs SMTP_OAuthClientSecret or SMTP_OAuthCertificate";
  }
  bool usesServiceAccount = serviceAccount && !settings.serviceAccount.empty();
  if (!usesServiceAccount && settings.clientId.empty()) return "SMTP_OAuthClientId is empty";
  return "";
}

OAuthProvider AppOnly(OAuthProvider provider, const OAuthSettings& settings) {
  provider.appOnly = true;
  provider.authorizeUrl.clear();
  provider.deviceUrl.clear();
  provider.certificateFile = settings.certificate;
  provider.serviceAccountFile = settings.serviceAccount;
  // A secret and a certificate both set: the certificate, the stronger proof, is used.
  if (!settings.certificate.empty() || !settings.serviceAccount.empty()) provider.clientSecret.clear();
  return provider;
}

OAuthProviderChoice AppOnlyProvider(const OAuthSettings& settings) {
  const bool google = EqualsIgnoreCase(settings.provider, "google");
  const bool custom = EqualsIgnoreCase(settings.provider, "custom");
  if (!google && !custom && !EqualsIgnoreCase(settings.provider, "microsoft")) {
    return Problem("SMTP_OAuth is " + settings.provider + ", not microsoft, google or custom");
  }
  if (google && settings.serviceAccount.empty()) {
    return Problem("SMTP_OAuthServiceAccount is empty: Google's app-only sign-in is a service account's");
  }
  if (std::string why = AppCredentialProblem(settings, !EqualsIgnoreCase(settings.provider, "microsoft"));
      !why.empty()) {
    return Problem(why);
  }
  if (google) return OAuthProviderChoice{AppOnly(Google(settings), settings), ""};
  if (custom) {
    if (settings.tokenUrl.empty()) return Problem("SMTP_OAuthTokenUrl is empty");
    if (!IsHttpsUrl(settings.tokenUrl)) return Problem("SMTP_OAuthTokenUrl is not an https: address");
    if (settings.scope.empty()) return Problem("SMTP_OAuthScope is empty");
    return OAuthProviderChoice{AppOnly(OAuthProvider{"custom", HostOf(settings.tokenUrl), "", settings.tokenUrl, "",
                                                     settings.scope, settings.clientId, settings.clientSecret, "", false, "", "", ""},
                                       settings),
                               ""};
  }
  if (!IsAppTenant(settings.tenant)) {
    return Problem("SMTP_OAuthTenant must name the tenant (its domain or id) for the app-only sign-in");
  }
  OAuthProvider provider = AppOnly(Microsoft(settings), settings);
  provider.scope = EqualsIgnoreCase(settings.transport, "graph") ? "https://graph.microsoft.com/.default"
                                                                 : "https://outlook.office365.com/.default";
  return OAuthProviderChoice{provider, ""};
}

}  // namespace

OAuthProviderChoice OAuthProviderFor(const OAuthSettings& settings) {
  if (settings.provider.empty()) return Problem("SMTP_OAuth is empty");
  if (EqualsIgnoreCase(settings.flow, "app")) return AppOnlyProvider(settings);
  if (!settings.flow.empty() && !EqualsIgnoreCase(settings.flow, "user")) {
    return Problem("SMTP_OAuthFlow is " + settings.flow + ", not user or app");
  }
  if (settings.clientId.empty()) return Problem("SMTP_OAuthClientId is empty");
  if (EqualsIgnoreCase(settings.provider, "microsoft")) {
    if (!settings.tenant.empty() && !IsTenant(settings.tenant)) return Problem("SMTP_OAuthTenant is not a tenant name");
    return OAuthProviderChoice{Microsoft(settings), ""};
  }
  if (EqualsIgnoreCase(settings.provider, "google")) return OAuthProviderChoice{Google(settings), ""};
  if (EqualsIgnoreCase(settings.provider, "custom")) return Custom(settings);
  return Problem("SMTP_OAuth is " + settings.provider + ", not microsoft, google or custom");
}

}  // namespace vellomar
