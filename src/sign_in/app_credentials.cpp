#include "sign_in/app_credentials.h"

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>

#include "common/system_error.h"
#include "common/text.h"
#include "platform/crypto.h"
#include "platform/file_system.h"
#include "sign_in/oauth_code_flow.h"
#include "sign_in/oauth_provider.h"

namespace vellomar {

namespace {

using Json = nlohmann::json;

constexpr const char* kAssertionType = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";
constexpr const char* kJwtBearerGrant = "urn:ietf:params:oauth:grant-type:jwt-bearer";
// Microsoft takes client assertions valid up to ten minutes; Google's at most an hour.
constexpr long long kClientAssertionLife = 600;
constexpr long long kBearerAssertionLife = 3600;

std::string StringMember(const Json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// Never throws: a name with bytes that are not UTF-8 is sent with them replaced.
std::string Text(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

long long SecondsOf(std::chrono::system_clock::time_point now) {
  return std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
}

// A unique id, so that an endpoint can refuse an assertion replayed.
std::string AssertionId() {
  auto bytes = RandomBytes(16);
  return bytes ? Base64Url(bytes.value()) : std::to_string(SecondsOf(std::chrono::system_clock::now()));
}

AppTokenRequest Failed(std::string problem) { return AppTokenRequest{"", {}, std::move(problem)}; }

AppTokenRequest WithCertificate(const OAuthProvider& p, std::chrono::system_clock::time_point now) {
  std::string problem;
  std::optional<std::string> pem = ReadCredentialFile(p.certificateFile, problem);
  if (!pem) return Failed(problem);
  auto thumbprint = CertificateSha256(*pem);
  if (!thumbprint) return Failed(p.certificateFile + " holds no certificate (PEM)");
  const long long at = SecondsOf(now);
  Json header{{"alg", "RS256"}, {"typ", "JWT"}, {"x5t#S256", Base64Url(thumbprint.value())}};
  Json claims{{"aud", p.tokenUrl}, {"iss", p.clientId},         {"sub", p.clientId},
              {"jti", AssertionId()}, {"nbf", at}, {"iat", at}, {"exp", at + kClientAssertionLife}};
  std::optional<std::string> assertion = SignedJwt(*pem, Text(header), Text(claims));
  Wipe(*pem);
  if (!assertion) return Failed(p.certificateFile + " holds no unencrypted RSA private key (PEM)");
  return AppTokenRequest{p.tokenUrl,
                         {{"grant_type", "client_credentials"},
                          {"client_id", p.clientId},
                          {"scope", p.scope},
                          {"client_assertion_type", kAssertionType},
                          {"client_assertion", *assertion}},
                         ""};
}

// Google's own key files name Google's endpoint; another https: one is taken as the file says
// (a test authority, a private deployment), anything else is ignored.
std::string BearerTokenUrl(const OAuthProvider& p, const ServiceAccountKey& key) {
  if (p.key == "google" && StartsWithIgnoreCase(key.tokenUri, "https://")) return key.tokenUri;
  return p.tokenUrl;
}

AppTokenRequest WithServiceAccount(const OAuthProvider& p, std::chrono::system_clock::time_point now) {
  std::string problem;
  std::optional<std::string> text = ReadCredentialFile(p.serviceAccountFile, problem);
  if (!text) return Failed(problem);
  std::optional<ServiceAccountKey> key = ParseServiceAccountKey(*text, problem);
  Wipe(*text);
  if (!key) return Failed(p.serviceAccountFile + ": " + problem);
  const std::string url = BearerTokenUrl(p, *key);
  const long long at = SecondsOf(now);
  Json header{{"alg", "RS256"}, {"typ", "JWT"}};
  if (!key->privateKeyId.empty()) header["kid"] = key->privateKeyId;
  Json claims{{"iss", key->clientEmail}, {"sub", p.subject}, {"scope", p.scope},
              {"aud", url},              {"iat", at},        {"exp", at + kBearerAssertionLife}};
  std::optional<std::string> assertion = SignedJwt(key->privateKey, Text(header), Text(claims));
  Wipe(key->privateKey);
  if (!assertion) return Failed(p.serviceAccountFile + " holds no usable RSA private key");
  return AppTokenRequest{url, {{"grant_type", kJwtBearerGrant}, {"assertion", *assertion}}, ""};
}

}  // namespace

std::optional<std::string> SignedJwt(const std::string& keyPem, const std::string& header, const std::string& claims) {
  const std::string signingInput = Base64Url(header) + "." + Base64Url(claims);
  auto signature = SignRs256(keyPem, signingInput);
  if (!signature) return std::nullopt;
  return signingInput + "." + Base64Url(signature.value());
}

std::optional<ServiceAccountKey> ParseServiceAccountKey(const std::string& text, std::string& problem) {
  if (text.size() > kCredentialFileLimit) {
    problem = "the key file is too long";
    return std::nullopt;
  }
  Json object = Json::parse(text, nullptr, false);
  if (!object.is_object()) {
    problem = "not a JSON key file";
    return std::nullopt;
  }
  ServiceAccountKey key{StringMember(object, "client_email"), StringMember(object, "private_key"),
                        StringMember(object, "private_key_id"), StringMember(object, "token_uri")};
  if (StringMember(object, "type") != "service_account") {
    problem = "not a service account's key (its \"type\" is not \"service_account\")";
  } else if (key.clientEmail.empty() || key.privateKey.empty()) {
    problem = "the key file lacks client_email or private_key";
  } else {
    return key;
  }
  return std::nullopt;
}

std::optional<std::string> ReadCredentialFile(const std::string& path, std::string& problem) {
  auto file = OpenFile(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (!file) {
    problem = "can't read " + path + ": " + SystemErrorText(file.failure());
    return std::nullopt;
  }
  auto facts = FactsOf(file.value().get());
  if (!facts || !facts.value().regular) {
    problem = path + " is not a plain file";
    return std::nullopt;
  }
  const FileFacts& f = facts.value();
  if ((f.mode & 077) != 0 || (f.owner != geteuid() && f.owner != 0)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(f.mode & 07777));
    problem = path + " may be read by others than its owner (mode " + mode +
              "): a key or secret file must be its owner's alone (chmod 600)";
    return std::nullopt;
  }
  auto content = ReadToEnd(file.value().get(), kCredentialFileLimit);
  if (!content) {
    problem = "can't read " + path + ": " + SystemErrorText(content.failure());
    return std::nullopt;
  }
  return content.value();
}

AppTokenRequest MakeAppTokenRequest(const OAuthProvider& provider, std::chrono::system_clock::time_point now) {
  if (!provider.serviceAccountFile.empty()) return WithServiceAccount(provider, now);
  if (!provider.certificateFile.empty()) return WithCertificate(provider, now);
  return AppTokenRequest{provider.tokenUrl,
                         {{"grant_type", "client_credentials"},
                          {"client_id", provider.clientId},
                          {"scope", provider.scope},
                          {"client_secret", provider.clientSecret}},
                         ""};
}

}  // namespace vellomar
