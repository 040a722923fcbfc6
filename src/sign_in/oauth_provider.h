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
  std::string flow;  // SMTP_OAuthFlow: "user" (or empty) or "app"
  std::string certificate;     // app only: PEM file with the client's certificate and key
  std::string serviceAccount;  // app only: a service account's JSON key file
  std::string transport;       // the account's Transport: which API the token is for
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
  // The app-only sign-in: the client gets its tokens as itself, with `clientSecret`, the
  // certificate and key in `certificateFile`, or the service account's key in
  // `serviceAccountFile`; there is no refresh token and no person to sign in.
  bool appOnly = false;
  std::string certificateFile;
  std::string serviceAccountFile;
  // The mailbox a service account acts for (the assertion's subject).
  std::string subject;
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
