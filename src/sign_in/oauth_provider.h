#pragma once

#include <optional>
#include <string>

namespace vellomar {

// The sign-in settings as the store holds them (SMTP_OAuth, SMTP_OAuthClientId, ...).
struct OAuthSettings {
  std::string provider;  // SMTP_OAuth: "microsoft", "google", "custom"; empty: no sign-in
  std::string clientId;
  std::string clientSecret;
  std::string tenant;  // Microsoft only; empty for "organizations"
  std::string authorizeUrl;  // custom only, from here on
  std::string tokenUrl;
  std::string deviceUrl;
  std::string scope;
  bool operator==(const OAuthSettings&) const = default;
};

// Where and how to sign in: the endpoints, the scope asked for and the client that asks.
// A plain value, built once from the settings and copied freely.
struct OAuthProvider {
  std::string key;   // "microsoft", "google" or "custom", as in the settings
  std::string name;  // for people: "Microsoft", "Google", or the custom token endpoint's host
  std::string authorizeUrl;  // empty: no sign-in through a browser
  std::string tokenUrl;
  std::string deviceUrl;  // empty: no sign-in with a code on another device
  std::string scope;
  std::string clientId;
  std::string clientSecret;  // empty for a public client
  // The next relay that goes with the provider ("smtp.office365.com:587"); empty for custom.
  std::string suggestedServer;
};

// The provider the settings describe, or why they describe none: `problem` is a text for the
// log or the dialog naming what is missing or wrong ("SMTP_OAuthClientId is empty"). Endpoint
// addresses must be https: URLs; a Microsoft tenant is a name or an id, never a path.
struct OAuthProviderChoice {
  std::optional<OAuthProvider> provider;
  std::string problem;
};
OAuthProviderChoice OAuthProviderFor(const OAuthSettings& settings);

}  // namespace vellomar
