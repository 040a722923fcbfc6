#pragma once

#include <chrono>
#include <map>
#include <string>

#include "platform/http_client.h"

namespace vellomar {

class StopFlag;
struct OAuthProvider;

// What a sign-in provider's token or device endpoint answered to one form POST.
struct EndpointReply {
  enum class Kind {
    Answered,     // a 2xx reply holding a JSON object: `values`
    Refused,      // a 4xx reply naming an OAuth error: `error` ("invalid_grant", ...)
    Unavailable,  // not reached, too slow, a 5xx, or a reply that could not be read: try later
    Cancelled,    // the stop flag was set
  };
  Kind kind = Kind::Unavailable;
  // The object's top-level strings, and its numbers and booleans as text.
  std::map<std::string, std::string> values;
  std::string error;
  // For a log line: the error's description, or why the endpoint could not be used.
  std::string reason;
};

// POSTs the form to `url` and sorts the reply. JSON is read by the library made for it;
// nothing of the reply is ever put into a log line but the error code and description.
EndpointReply CallEndpoint(const HttpClient& http, const std::string& url, const FormFields& fields,
                           const StopFlag& stop);

// An access token as the token endpoint grants it.
struct TokenGrant {
  std::string accessToken;
  // Empty when the endpoint sent none: the one held stays good.
  std::string refreshToken;
  // expires_in; zero when the endpoint did not say.
  std::chrono::seconds lifetime{0};
};

// The grant in an answered token request; false when it holds no bearer access token.
bool ReadTokenGrant(const EndpointReply& reply, TokenGrant& grant);


// How a sign-in ended.
struct SignInOutcome {
  enum class Kind {
    SignedIn,     // `grant` holds an access token and a refresh token
    Refused,      // the provider or the person said no, or the answer was not ours
    Expired,      // the time to sign in ran out
    Unavailable,  // the provider could not be reached or understood: try again later
    Cancelled,    // the stop flag was set
  };
  Kind kind = Kind::Unavailable;
  TokenGrant grant;
  // Why not, for people; empty when signed in.
  std::string reason;
};

// The outcome a reply of the token endpoint to a sign-in's grant stands for. A grant without a
// refresh token is refused: the relay could not go on sending without another sign-in.
SignInOutcome SignInOutcomeOf(const EndpointReply& reply, const OAuthProvider& provider);

}  // namespace vellomar
