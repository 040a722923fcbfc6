#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/error_or.h"
#include "sign_in/oauth_endpoint.h"
#include "sign_in/oauth_provider.h"

namespace vellomar {

class HttpClient;
class RedirectListener;
class StopFlag;

// A proof key (RFC 7636): the verifier stays here, the challenge goes with the browser.
struct Pkce {
  std::string verifier;   // 43 characters from 32 random bytes
  std::string challenge;  // base64url of the verifier's SHA-256 (method S256)
};
// EIO when the random source failed.
ErrorOr<Pkce> MakePkce();
// Base64 with the URL-safe alphabet and no padding.
std::string Base64Url(const std::string& bytes);

// A sign-in in the person's browser (authorization code with PKCE, RFC 6749 and RFC 8252):
// Start() opens the loopback listener and makes the address to open; Finish() waits for the
// browser to come back with the answer, checks that it belongs to this sign-in, trades the code
// for the tokens and tells the browser how it went. Used by one thread.
class BrowserSignIn {
 public:
  // EINVAL when the provider has no authorization endpoint; the listener's or the random
  // source's error otherwise. `loginHint`, when not empty, proposes the mailbox to sign in as.
  static ErrorOr<std::unique_ptr<BrowserSignIn>> Start(const OAuthProvider& provider, const std::string& loginHint);
  ~BrowserSignIn();

  // The address to open in the browser.
  const std::string& address() const { return address_; }
  // "http://127.0.0.1:<port>/", where the browser is sent back.
  const std::string& redirectUri() const;

  // Waits at most `wait` for the browser's answer. The listener is closed afterwards.
  SignInOutcome Finish(const HttpClient& http, std::chrono::milliseconds wait, const StopFlag& stop);

 private:
  BrowserSignIn(OAuthProvider provider, std::unique_ptr<RedirectListener> listener, std::string state, Pkce pkce,
                const std::string& loginHint);

  OAuthProvider provider_;
  std::unique_ptr<RedirectListener> listener_;
  std::string state_;
  Pkce pkce_;
  std::string address_;
};

}  // namespace vellomar
