#include "sign_in/oauth_device_flow.h"

#include <algorithm>
#include <cstdlib>

#include "platform/http_client.h"
#include "platform/stop_flag.h"
#include "platform/wake_event.h"

namespace vellomar {

namespace {

using Clock = std::chrono::steady_clock;
using Kind = SignInOutcome::Kind;

constexpr long long kDefaultInterval = 5;
constexpr long long kSlowDownStep = 5;

std::string ValueOf(const EndpointReply& reply, const char* name) {
  auto found = reply.values.find(name);
  return found == reply.values.end() ? std::string() : found->second;
}

std::chrono::seconds Seconds(const EndpointReply& reply, const char* name) {
  return std::chrono::seconds(std::max(0LL, std::atoll(ValueOf(reply, name).c_str())));
}

FormFields PollForm(const OAuthProvider& provider, const DeviceCode& code) {
  FormFields form{{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                  {"device_code", code.deviceCode},
                  {"client_id", provider.clientId}};
  if (!provider.clientSecret.empty()) form.emplace_back("client_secret", provider.clientSecret);
  return form;
}

}  // namespace

DeviceCodeRequest RequestDeviceCode(const HttpClient& http, const OAuthProvider& provider, const StopFlag& stop) {
  DeviceCodeRequest request;
  if (provider.deviceUrl.empty()) {
    request.failure = SignInOutcome{Kind::Refused, {}, provider.name + " has no device sign-in address"};
    return request;
  }
  FormFields form{{"client_id", provider.clientId}, {"scope", provider.scope}};
  EndpointReply reply = CallEndpoint(http, provider.deviceUrl, form, stop);
  if (reply.kind != EndpointReply::Kind::Answered) {
    request.failure = SignInOutcomeOf(reply, provider);
    return request;
  }
  DeviceCode& code = request.code;
  code.deviceCode = ValueOf(reply, "device_code");
  code.userCode = ValueOf(reply, "user_code");
  // Google names it verification_url.
  code.verificationUri = ValueOf(reply, "verification_uri");
  if (code.verificationUri.empty()) code.verificationUri = ValueOf(reply, "verification_url");
  code.verificationUriComplete = ValueOf(reply, "verification_uri_complete");
  code.message = ValueOf(reply, "message");
  code.expiresIn = Seconds(reply, "expires_in");
  code.interval = Seconds(reply, "interval");
  if (code.deviceCode.empty() || code.userCode.empty() || code.verificationUri.empty() || code.expiresIn.count() == 0) {
    request.failure = SignInOutcome{Kind::Unavailable, {}, provider.name + " gave an incomplete device code"};
    return request;
  }
  request.ok = true;
  return request;
}

SignInOutcome AwaitDeviceSignIn(const HttpClient& http, const OAuthProvider& provider, const DeviceCode& code,
                                StopFlag& stop, std::chrono::milliseconds second) {
  const auto deadline = Clock::now() + code.expiresIn.count() * second;
  std::chrono::milliseconds interval = (code.interval.count() > 0 ? code.interval.count() : kDefaultInterval) * second;
  WakeEvent pause(stop);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    // Nothing but the stop wakes the pause, so it ends at its time or at the stop.
    (void)pause.WaitFor(std::max(std::chrono::milliseconds(0), std::min(interval, left)));
    if (stop.load()) return SignInOutcome{Kind::Cancelled, {}, "stopped"};
    if (Clock::now() >= deadline) {
      return SignInOutcome{Kind::Expired, {}, "the code expired before the sign-in was completed"};
    }
    EndpointReply reply = CallEndpoint(http, provider.tokenUrl, PollForm(provider, code), stop);
    if (reply.kind == EndpointReply::Kind::Unavailable) continue;  // polled again at the next interval
    if (reply.kind == EndpointReply::Kind::Refused && reply.error == "authorization_pending") continue;
    if (reply.kind == EndpointReply::Kind::Refused && reply.error == "slow_down") {
      interval += kSlowDownStep * second;
      continue;
    }
    if (reply.kind == EndpointReply::Kind::Refused && reply.error == "expired_token") {
      return SignInOutcome{Kind::Expired, {}, "the code expired before the sign-in was completed"};
    }
    return SignInOutcomeOf(reply, provider);
  }
}

}  // namespace vellomar
