#pragma once

#include <chrono>
#include <string>

#include "sign_in/oauth_endpoint.h"
#include "sign_in/oauth_provider.h"

namespace vellomar {

class HttpClient;
class StopFlag;

// What to show the person who signs in on another device (RFC 8628).
struct DeviceCode {
  std::string userCode;
  std::string verificationUri;
  // The address with the code in it, when the provider gives one.
  std::string verificationUriComplete;
  // The provider's own text to show, when it gives one.
  std::string message;
  // Kept for the polling; never shown or logged.
  std::string deviceCode;
  std::chrono::seconds expiresIn{0};
  std::chrono::seconds interval{0};
};

// A device code, or why none came (`failure`).
struct DeviceCodeRequest {
  bool ok = false;
  DeviceCode code;
  SignInOutcome failure;
};

// Asks the provider's device endpoint for a code; the provider must have one.
DeviceCodeRequest RequestDeviceCode(const HttpClient& http, const OAuthProvider& provider, const StopFlag& stop);

// Polls the token endpoint until the person has signed in with `code`, said no, or the code
// expired: at the interval asked (5 s when not said), 5 s more at each slow_down, waiting on
// while authorization_pending or the endpoint is out of reach. Ends at once at the stop.
// `second` is how long one of the provider's seconds lasts here: shorter in tests.
SignInOutcome AwaitDeviceSignIn(const HttpClient& http, const OAuthProvider& provider, const DeviceCode& code,
                                StopFlag& stop, std::chrono::milliseconds second = std::chrono::seconds(1));

}  // namespace vellomar
