#include "sign_in/oauth_tokens.h"

#include "common/system_error.h"
#include "platform/crypto.h"
#include "platform/http_client.h"
#include "platform/stop_flag.h"
#include "sign_in/app_credentials.h"
#include "sign_in/token_store.h"

namespace vellomar {

namespace {

using Kind = OAuthTokens::Token::Kind;

// A waiter gives up on another thread's refresh only when something is badly wrong: the
// refresh itself is bounded by the HTTP client's time limit and the keyring's.
constexpr std::chrono::seconds kWaitBeyondRequest{15};

OAuthTokens::Token Failure(Kind kind, std::string reason) { return OAuthTokens::Token{kind, "", std::move(reason)}; }

}  // namespace

// What one refresh found, carried from outside the lock back under it.
struct OAuthTokens::Attempt {
  Refresh result = Refresh::Failed;
  TokenGrant grant;
  bool loadedNow = false;
  std::string refreshToken;  // as read from the store, when loadedNow
  bool reachedEndpoint = false;
  std::string line;     // why it failed, as a log line
  std::string warning;  // a log line for a success that could not be stored
};

OAuthTokens::OAuthTokens(OAuthProvider provider, std::shared_ptr<const HttpClient> http,
                         std::shared_ptr<TokenStore> store, StopFlag& stop, Report report)
    : OAuthTokens(std::move(provider), std::move(http), std::move(store), stop, std::move(report), Options{}) {}

OAuthTokens::OAuthTokens(OAuthProvider provider, std::shared_ptr<const HttpClient> http,
                         std::shared_ptr<TokenStore> store, StopFlag& stop, Report report, Options options)
    : provider_(std::move(provider)), http_(std::move(http)), store_(std::move(store)), stop_(stop),
      report_(std::move(report)), options_(std::move(options)) {}

bool OAuthTokens::UsableLocked(TimePoint now) const { return !accessToken_.empty() && !refused_ && now < expiry_; }

void OAuthTokens::TakeGrantLocked(const TokenGrant& grant, TimePoint now, bool afterRefusal) {
  std::chrono::seconds lifetime = grant.lifetime.count() > 0 ? grant.lifetime : options_.assumedLifetime;
  accessToken_ = grant.accessToken;
  expiry_ = now + lifetime;
  refreshAt_ = expiry_ - std::min(options_.margin, lifetime / 2);
  gotAfterRefusal_ = afterRefusal;
  refused_ = false;
}

OAuthTokens::Token OAuthTokens::Get() {
  // Made before the lock is taken, as the stop flag's lock order asks.
  auto wake = stop_.Subscribe([this] {
    std::lock_guard<std::mutex> guard(lock_);
    done_.notify_all();
  });
  std::unique_lock<std::mutex> held(lock_);
  if (stop_.load()) return Failure(Kind::Cancelled, "stopped");
  // Tried again without a new line: one line says a credential is refused, not one a try.
  if (signInNeeded_ && provider_.appOnly && options_.now() >= retryAt_) signInNeeded_ = false;
  if (signInNeeded_) return Failure(Kind::SignInNeeded, lastFailure_.reason);
  if (UsableLocked(options_.now()) && options_.now() < refreshAt_) return Token{Kind::Ready, accessToken_, ""};
  if (!refreshing_) return RefreshAndTake(held);
  // Another thread refreshes: its outcome, good or bad, is this thread's too.
  uint64_t awaited = finished_;
  auto limit = http_->options().whole + http_->options().connect + kWaitBeyondRequest;
  if (!done_.wait_for(held, limit, [&] { return finished_ != awaited || stop_.load(); })) {
    return Failure(Kind::Unavailable, "Error : refreshing the sign-in to " + provider_.name + " takes too long");
  }
  if (stop_.load()) return Failure(Kind::Cancelled, "stopped");
  if (signInNeeded_) return Failure(Kind::SignInNeeded, lastFailure_.reason);
  if (UsableLocked(options_.now())) return Token{Kind::Ready, accessToken_, ""};
  return lastFailure_;
}

OAuthTokens::Token OAuthTokens::RefreshAndTake(std::unique_lock<std::mutex>& held) {
  refreshing_ = true;
  const uint64_t generation = generation_;
  Attempt attempt = [&] {
    std::string refreshToken = refreshToken_;
    bool loaded = loaded_;
    held.unlock();
    Attempt made = RunRefresh(refreshToken, loaded);
    held.lock();
    return made;
  }();
  refreshing_ = false;
  ++finished_;
  if (attempt.reachedEndpoint) ++reached_;
  // A sign-in that came meanwhile has the last word.
  std::string say = generation == generation_ ? TakeAttemptLocked(attempt) : "";
  done_.notify_all();
  Token result = signInNeeded_ ? Failure(Kind::SignInNeeded, lastFailure_.reason)
                 : UsableLocked(options_.now()) ? Token{Kind::Ready, accessToken_, ""}
                                                : lastFailure_;
  held.unlock();
  if (!attempt.warning.empty()) Say(attempt.warning);
  if (!say.empty()) Say(say);
  return result;
}

std::string OAuthTokens::TakeAttemptLocked(const Attempt& attempt) {
  if (attempt.loadedNow) {
    loaded_ = true;
    refreshToken_ = attempt.refreshToken;
  }
  std::string say;
  switch (attempt.result) {
    case Refresh::Succeeded:
      if (!attempt.grant.refreshToken.empty()) refreshToken_ = attempt.grant.refreshToken;
      TakeGrantLocked(attempt.grant, options_.now(), refused_);
      // A later refusal is news again.
      reported_ = false;
      break;
    case Refresh::SignInNeeded:
      signInNeeded_ = true;
      retryAt_ = options_.now() + options_.appRetry;
      lastFailure_ = Failure(Kind::SignInNeeded, attempt.line);
      if (!reported_) say = attempt.line;
      reported_ = true;
      break;
    case Refresh::Failed:
      lastFailure_ = Failure(Kind::Unavailable, attempt.line);
      break;
    case Refresh::Cancelled:
      lastFailure_ = Failure(Kind::Cancelled, "stopped");
      break;
  }
  return say;
}

OAuthTokens::Attempt OAuthTokens::RunAppGrant() {
  Attempt attempt;
  AppTokenRequest request = MakeAppTokenRequest(provider_, std::chrono::system_clock::now());
  if (!request.problem.empty()) {
    // A key file that is loose or broken stays so until someone mends it: like a refusal.
    attempt.result = Refresh::SignInNeeded;
    attempt.line = "Error : can't sign in to " + provider_.name + " as the app: " + request.problem;
    return attempt;
  }
  attempt.reachedEndpoint = true;
  EndpointReply reply = CallEndpoint(*http_, request.tokenUrl, request.form, stop_);
  for (auto& field : request.form) Wipe(field.second);
  switch (reply.kind) {
    case EndpointReply::Kind::Cancelled:
      attempt.result = Refresh::Cancelled;
      return attempt;
    case EndpointReply::Kind::Unavailable:
      attempt.line = "Error : can't get a token from " + provider_.name + ": " + reply.reason;
      return attempt;
    case EndpointReply::Kind::Refused:
      attempt.result = Refresh::SignInNeeded;
      attempt.line = "Error : " + provider_.name + " refused the app's credentials: " + reply.reason;
      return attempt;
    case EndpointReply::Kind::Answered:
      break;
  }
  if (!ReadTokenGrant(reply, attempt.grant)) {
    attempt.line = "Error : " + provider_.name + " gave no usable access token";
    return attempt;
  }
  // Client credentials never carry on with a refresh token; one sent is not kept.
  attempt.grant.refreshToken.clear();
  attempt.result = Refresh::Succeeded;
  return attempt;
}

OAuthTokens::Attempt OAuthTokens::RunRefresh(const std::string& known, bool loaded) {
  if (provider_.appOnly) return RunAppGrant();
  Attempt attempt;
  std::string refreshToken = known;
  if (!loaded) {
    auto kept = store_->Load();
    if (!kept && kept.error() != ENOENT) {
      attempt.line = "Error : can't read the sign-in to " + provider_.name + " from " + store_->Description() + ": " +
                     SystemErrorText(kept.failure());
      return attempt;
    }
    attempt.loadedNow = true;
    attempt.refreshToken = refreshToken = kept ? kept.value() : "";
  }
  if (refreshToken.empty()) {
    attempt.result = Refresh::SignInNeeded;
    attempt.line = "Error : not signed in to " + provider_.name + ": sign in first";
    return attempt;
  }
  FormFields form{{"grant_type", "refresh_token"},
                  {"refresh_token", refreshToken},
                  {"client_id", provider_.clientId},
                  {"scope", provider_.scope}};
  if (!provider_.clientSecret.empty()) form.emplace_back("client_secret", provider_.clientSecret);
  attempt.reachedEndpoint = true;
  TakeReply(CallEndpoint(*http_, provider_.tokenUrl, form, stop_), attempt);
  // A rotated refresh token replaces the old one, which the provider may no longer take.
  const std::string& rotated = attempt.grant.refreshToken;
  if (attempt.result == Refresh::Succeeded && !rotated.empty() && rotated != refreshToken) {
    Status saved = store_->Save(rotated);
    if (!saved) {
      attempt.warning = "Error : can't keep the renewed sign-in to " + provider_.name + " in " +
                        store_->Description() + ": " + SystemErrorText(saved.failure());
    }
  }
  return attempt;
}

void OAuthTokens::TakeReply(const EndpointReply& reply, Attempt& attempt) const {
  switch (reply.kind) {
    case EndpointReply::Kind::Cancelled:
      attempt.result = Refresh::Cancelled;
      return;
    case EndpointReply::Kind::Unavailable:
      attempt.line = "Error : can't refresh the sign-in to " + provider_.name + ": " + reply.reason;
      return;
    case EndpointReply::Kind::Refused:
      // invalid_grant: the refresh token was revoked or has lapsed; only a new sign-in helps.
      if (reply.error == "invalid_grant") {
        attempt.result = Refresh::SignInNeeded;
        attempt.line = "Error : sign-in to " + provider_.name + " expired: sign in again";
      } else {
        attempt.line = "Error : " + provider_.name + " refused to refresh the sign-in: " + reply.reason;
      }
      return;
    case EndpointReply::Kind::Answered:
      break;
  }
  if (!ReadTokenGrant(reply, attempt.grant)) {
    attempt.line = "Error : " + provider_.name + " gave no usable access token";
    return;
  }
  attempt.result = Refresh::Succeeded;
}

bool OAuthTokens::Refused(const std::string& accessToken) {
  std::lock_guard<std::mutex> guard(lock_);
  // Another thread has got a newer token already (or is getting one): that one is worth a try.
  if (accessToken != accessToken_) return true;
  if (gotAfterRefusal_) return false;
  refused_ = true;
  return true;
}

Status OAuthTokens::SignedIn(const TokenGrant& grant) {
  Status saved = store_ ? store_->Save(grant.refreshToken) : Ok();
  std::lock_guard<std::mutex> guard(lock_);
  ++generation_;
  loaded_ = true;
  refreshToken_ = grant.refreshToken;
  TakeGrantLocked(grant, options_.now(), false);
  signInNeeded_ = false;
  reported_ = false;
  done_.notify_all();
  return saved;
}

void OAuthTokens::Reload() {
  std::lock_guard<std::mutex> guard(lock_);
  ++generation_;
  loaded_ = false;
  refreshToken_.clear();
  accessToken_.clear();
  signInNeeded_ = false;
  reported_ = false;
}

bool OAuthTokens::SignInNeeded() const {
  std::lock_guard<std::mutex> guard(lock_);
  return signInNeeded_;
}

uint64_t OAuthTokens::refreshes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return reached_;
}

void OAuthTokens::Say(const std::string& line) {
  if (report_) report_(line);
}

}  // namespace vellomar
