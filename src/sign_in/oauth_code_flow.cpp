#include "sign_in/oauth_code_flow.h"

#include <map>

#include "common/base64.h"
#include "platform/crypto.h"
#include "platform/http_client.h"
#include "platform/stop_flag.h"
#include "sign_in/oauth_redirect_listener.h"

namespace vellomar {

namespace {

using Kind = SignInOutcome::Kind;

constexpr size_t kRandomBytes = 32;

std::map<std::string, std::string> AsMap(const FormFields& fields) {
  std::map<std::string, std::string> values;
  // The first of a repeated field counts: a second one cannot change what was checked.
  for (const auto& [name, value] : fields) values.emplace(name, value);
  return values;
}

std::string Minutes(std::chrono::milliseconds wait) {
  auto minutes = std::chrono::duration_cast<std::chrono::minutes>(wait).count();
  return minutes >= 1 ? std::to_string(minutes) + " min" : std::to_string(wait.count() / 1000) + " s";
}

}  // namespace

std::string Base64Url(const std::string& bytes) {
  std::string text = Base64Encode(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

ErrorOr<Pkce> MakePkce() {
  auto random = RandomBytes(kRandomBytes);
  if (!random) return ErrorOr<Pkce>::Fail(random.failure());
  Pkce pkce;
  pkce.verifier = Base64Url(random.value());
  pkce.challenge = Base64Url(Sha256(pkce.verifier));
  return pkce;
}

ErrorOr<std::unique_ptr<BrowserSignIn>> BrowserSignIn::Start(const OAuthProvider& provider,
                                                           const std::string& loginHint) {
  using Result = ErrorOr<std::unique_ptr<BrowserSignIn>>;
  if (provider.authorizeUrl.empty()) return Result::Fail(EINVAL);
  auto pkce = MakePkce();
  auto state = RandomBytes(kRandomBytes / 2);
  if (!pkce || !state) return Result::Fail(EIO);
  auto listener = RedirectListener::Open();
  if (!listener) return Result::Fail(listener.failure());
  return std::unique_ptr<BrowserSignIn>(new BrowserSignIn(provider, std::move(listener.value()),
                                                          Base64Url(state.value()), pkce.value(), loginHint));
}

BrowserSignIn::BrowserSignIn(OAuthProvider provider, std::unique_ptr<RedirectListener> listener, std::string state,
                             Pkce pkce, const std::string& loginHint)
    : provider_(std::move(provider)), listener_(std::move(listener)), state_(std::move(state)), pkce_(std::move(pkce)) {
  FormFields query{{"response_type", "code"},         {"client_id", provider_.clientId},
                   {"redirect_uri", listener_->uri()}, {"scope", provider_.scope},
                   {"state", state_},                  {"code_challenge", pkce_.challenge},
                   {"code_challenge_method", "S256"}};
  if (!loginHint.empty()) query.emplace_back("login_hint", loginHint);
  // Google gives a refresh token only for offline access, and again only when asked to show
  // the consent anew.
  if (provider_.key == "google") {
    query.emplace_back("access_type", "offline");
    query.emplace_back("prompt", "consent");
  }
  const char* joint = provider_.authorizeUrl.find('?') == std::string::npos ? "?" : "&";
  address_ = provider_.authorizeUrl + joint + EncodeForm(query);
}

BrowserSignIn::~BrowserSignIn() = default;

const std::string& BrowserSignIn::redirectUri() const { return listener_->uri(); }

SignInOutcome BrowserSignIn::Finish(const HttpClient& http, std::chrono::milliseconds wait, const StopFlag& stop) {
  auto answer = listener_->Await(wait, stop);
  if (!answer) {
    listener_->Close();
    if (answer.error() == ECANCELED) return SignInOutcome{Kind::Cancelled, {}, "stopped"};
    return SignInOutcome{Kind::Expired, {}, "no answer came from the browser within " + Minutes(wait)};
  }
  auto fields = AsMap(answer.value());
  SignInOutcome outcome;
  if (fields["state"] != state_) {
    outcome = SignInOutcome{Kind::Refused, {}, "the answer does not belong to the sign-in Vellomar started"};
  } else if (!fields["error"].empty()) {
    std::string description = fields["error_description"];
    outcome = SignInOutcome{Kind::Refused, {},
                            provider_.name + " refused the sign-in: " + fields["error"] +
                                (description.empty() ? "" : ": " + description)};
  } else if (fields["code"].empty()) {
    outcome = SignInOutcome{Kind::Refused, {}, "the answer holds no authorization code"};
  } else {
    FormFields form{{"grant_type", "authorization_code"}, {"code", fields["code"]},
                    {"redirect_uri", listener_->uri()},   {"client_id", provider_.clientId},
                    {"code_verifier", pkce_.verifier}};
    if (!provider_.clientSecret.empty()) form.emplace_back("client_secret", provider_.clientSecret);
    outcome = SignInOutcomeOf(CallEndpoint(http, provider_.tokenUrl, form, stop), provider_);
  }
  bool signedIn = outcome.kind == Kind::SignedIn;
  listener_->Answer(signedIn, signedIn ? "Vellomar is signed in to " + provider_.name +
                                             " and sends your mail from now on. You can close this page."
                                       : outcome.reason);
  return outcome;
}

}  // namespace vellomar
