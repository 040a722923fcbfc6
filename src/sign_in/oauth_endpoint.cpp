#include "sign_in/oauth_endpoint.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>

#include "common/text.h"
#include "sign_in/oauth_provider.h"

namespace vellomar {

namespace {

using Json = nlohmann::json;

EndpointReply Unavailable(std::string reason) {
  EndpointReply reply;
  reply.kind = EndpointReply::Kind::Unavailable;
  reply.reason = std::move(reason);
  return reply;
}

// The object's plain members as text; nested values are left out.
std::map<std::string, std::string> PlainMembers(const Json& object) {
  std::map<std::string, std::string> values;
  for (const auto& [name, value] : object.items()) {
    if (value.is_string()) {
      values[name] = value.get<std::string>();
    } else if (value.is_number_integer()) {
      values[name] = std::to_string(value.get<long long>());
    } else if (value.is_number_float()) {
      values[name] = std::to_string(static_cast<long long>(value.get<double>()));
    } else if (value.is_boolean()) {
      values[name] = value.get<bool>() ? "true" : "false";
    }
  }
  return values;
}

// Control characters of a description could forge lines in the log.
std::string Printable(const std::string& text) {
  std::string clean;
  for (char c : text) clean += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  return clean.size() > 300 ? clean.substr(0, 300) + "..." : clean;
}

}  // namespace

EndpointReply CallEndpoint(const HttpClient& http, const std::string& url, const FormFields& fields,
                           const StopFlag& stop) {
  HttpResult result = http.PostForm(url, fields, stop);
  if (result.error == ECANCELED) return EndpointReply{EndpointReply::Kind::Cancelled, {}, {}, "stopped"};
  if (!result.ok()) return Unavailable(result.reason);
  Json body = Json::parse(result.body, nullptr, false);
  bool object = body.is_object();
  if (result.status >= 200 && result.status < 300) {
    if (!object) return Unavailable("the reply is not a JSON object");
    return EndpointReply{EndpointReply::Kind::Answered, PlainMembers(body), {}, {}};
  }
  // RFC 6749 answers a refused grant with 400 (401 for a client that failed to authenticate)
  // and a JSON error; anything else is the endpoint's trouble, not the sign-in's.
  if (result.status >= 400 && result.status < 500 && result.status != 429 && object &&
      body.contains("error") && body["error"].is_string()) {
    EndpointReply reply;
    reply.kind = EndpointReply::Kind::Refused;
    reply.values = PlainMembers(body);
    reply.error = Printable(reply.values["error"]);
    reply.reason = reply.error;
    if (!reply.values["error_description"].empty()) reply.reason += ": " + Printable(reply.values["error_description"]);
    return reply;
  }
  return Unavailable("HTTP status " + std::to_string(result.status));
}

bool ReadTokenGrant(const EndpointReply& reply, TokenGrant& grant) {
  auto value = [&](const char* name) {
    auto found = reply.values.find(name);
    return found == reply.values.end() ? std::string() : found->second;
  };
  grant.accessToken = value("access_token");
  grant.refreshToken = value("refresh_token");
  long long seconds = std::atoll(value("expires_in").c_str());
  grant.lifetime = std::chrono::seconds(seconds > 0 ? seconds : 0);
  // A token that is no bearer token cannot be sent with XOAUTH2; a token with a blank or a
  // control character would break the command line it goes into.
  if (!EqualsIgnoreCase(value("token_type"), "bearer") || grant.accessToken.empty()) return false;
  for (char c : grant.accessToken + grant.refreshToken) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
  }
  return true;
}


SignInOutcome SignInOutcomeOf(const EndpointReply& reply, const OAuthProvider& provider) {
  using Kind = SignInOutcome::Kind;
  switch (reply.kind) {
    case EndpointReply::Kind::Cancelled:
      return SignInOutcome{Kind::Cancelled, {}, "stopped"};
    case EndpointReply::Kind::Unavailable:
      return SignInOutcome{Kind::Unavailable, {}, provider.name + " could not be reached: " + reply.reason};
    case EndpointReply::Kind::Refused:
      return SignInOutcome{Kind::Refused, {}, provider.name + " refused the sign-in: " + reply.reason};
    case EndpointReply::Kind::Answered:
      break;
  }
  SignInOutcome outcome{Kind::SignedIn, {}, ""};
  if (!ReadTokenGrant(reply, outcome.grant)) {
    return SignInOutcome{Kind::Unavailable, {}, provider.name + " gave no usable access token"};
  }
  if (outcome.grant.refreshToken.empty()) {
    return SignInOutcome{Kind::Refused, {}, provider.name + " gave no refresh token: offline access is not granted"};
  }
  return outcome;
}

}  // namespace vellomar
