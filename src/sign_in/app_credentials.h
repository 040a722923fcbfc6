#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/http_client.h"

namespace vellomar {

struct OAuthProvider;

// The fields of a Google service account's JSON key file that a JWT bearer grant needs.
struct ServiceAccountKey {
  std::string clientEmail;
  std::string privateKey;    // PEM
  std::string privateKeyId;  // the assertion's "kid"; may be empty
  std::string tokenUri;      // empty when the file names none
};
// The key in the file's text; none, with `problem` set, when it is not a service account's key.
// The text may come from anywhere: it is parsed with bounds and never throws.
std::optional<ServiceAccountKey> ParseServiceAccountKey(const std::string& text, std::string& problem);

// The largest key, certificate or secret file taken.
constexpr size_t kCredentialFileLimit = 64 * 1024;

// The content of a file holding a credential, read only when no one but its owner (or root)
// can read it; none, with `problem` a line for people, otherwise. A symbolic link is followed:
// the file an administrator names is theirs to place.
std::optional<std::string> ReadCredentialFile(const std::string& path, std::string& problem);

// One app-only token request: where it goes and its form (grant type, the client's proof).
// `problem`, when set, says why no request can be made (a file missing, readable by others,
// or holding no usable key); it never quotes the file.
struct AppTokenRequest {
  std::string tokenUrl;
  FormFields form;
  std::string problem;
};
// The request for `provider` (appOnly) at `now`:
// - a client secret: client credentials with client_secret;
// - a certificate: client credentials with a client assertion, a JWT signed RS256 whose header
//   carries the certificate's SHA-256 thumbprint (x5t#S256), iss and sub the client, aud the
//   token endpoint, valid ten minutes (RFC 7523);
// - a service account: the JWT bearer grant, iss the account, sub the mailbox, aud the token
//   endpoint (the key file's token_uri at Google), scope the provider's, valid an hour.
AppTokenRequest MakeAppTokenRequest(const OAuthProvider& provider, std::chrono::system_clock::time_point now);

// The signed JWT of a header and claims given as JSON texts; none when the key cannot sign.
std::optional<std::string> SignedJwt(const std::string& keyPem, const std::string& header, const std::string& claims);

}  // namespace vellomar
