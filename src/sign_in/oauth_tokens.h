#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/error_or.h"
#include "sign_in/oauth_endpoint.h"
#include "sign_in/oauth_provider.h"

namespace vellomar {

class HttpClient;
class StopFlag;
class TokenStore;

// The access tokens one sign-in gives: what a delivery asks for before it logs in with
// XOAUTH2 (or calls an API with a bearer token). For an app-only sign-in (provider().appOnly)
// there is no store and no refresh token: each renewal asks for a new token with the app's own
// credentials; a credential refused (or a key file that cannot be used) is reported once and
// turns the source to "sign-in needed" as an expired sign-in does, until Reload() or until
// `appRetry` has passed. The access token lives in memory only; the refresh token is read from `store` when
// first needed and written back there when the provider rotates it. A token is refreshed when
// less than a margin of its life is left (a few minutes, at most half of it), and once more
// when a server refused it (Refused). A refresh the provider refuses for good (invalid_grant:
// revoked, or unused for too long) turns the source to "sign-in needed" until SignedIn(): the
// caller keeps its recipients waiting, and `report` hears "Error : sign-in to <provider>
// expired: sign in again" once. An endpoint that is down or slow is a temporary failure.
//
// Thread-safety: every call may come from any thread. One lock guards the state; it is never
// held across the HTTP request, the store or `report`. Only one refresh runs at a time, on the
// thread that found it needed: threads asking meanwhile wait on a condition variable for its
// end (bounded by the HTTP client's whole-request time and woken by the stop flag), then take
// its result, good or bad, instead of starting refreshes of their own.
class OAuthTokens {
 public:
  struct Options {
    // Refresh when less than this is left of a token's life (half its life when shorter).
    std::chrono::seconds margin{300};
    // Life assumed for a token whose grant did not say.
    std::chrono::seconds assumedLifetime{3600};
    // The clock the lives are measured with; tests move it on.
    std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now;
    // An app-only credential refused is tried again after this long (or at Reload()): an
    // administrator may have mended it at the provider, where no setting here changes.
    std::chrono::seconds appRetry{600};
  };
  // Called with a log line, outside the lock.
  using Report = std::function<void(const std::string& line)>;

  // What Get() gives.
  struct Token {
    enum class Kind {
      Ready,         // `accessToken` is to be used
      SignInNeeded,  // already reported: keep the mail waiting, without a log line of its own
      Unavailable,   // a temporary failure: `reason` is the log line
      Cancelled,     // the stop flag was set
    };
    Kind kind = Kind::Unavailable;
    std::string accessToken;
    std::string reason;
  };

  OAuthTokens(OAuthProvider provider, std::shared_ptr<const HttpClient> http, std::shared_ptr<TokenStore> store,
              StopFlag& stop, Report report);
  OAuthTokens(OAuthProvider provider, std::shared_ptr<const HttpClient> http, std::shared_ptr<TokenStore> store,
              StopFlag& stop, Report report, Options options);

  // A token good for a while yet, refreshing it first when needed (or waiting for the refresh
  // another thread runs).
  Token Get();
  // A server refused `accessToken`. When it is still the current one and was not itself got
  // after a refusal, the next Get() refreshes. True when a token other than this one may be
  // asked for and is worth a try; false when a fresh token was refused too, so that a server
  // that refuses every token does not cause a refresh at every delivery.
  bool Refused(const std::string& accessToken);
  // A sign-in brought `grant`: its refresh token is stored and its access token used from now
  // on. The store's error, if any, is returned; the tokens are used all the same.
  Status SignedIn(const TokenGrant& grant);

  // Drops what is held in memory, so that the next Get() reads the store afresh: for a
  // sign-in made by another process (`vellomar --sign-in` while the relay runs).
  void Reload();

  const OAuthProvider& provider() const { return provider_; }
  // True while a sign-in is needed (never signed in, or expired).
  bool SignInNeeded() const;
  // How many refreshes reached the token endpoint: for the tests and a status line.
  uint64_t refreshes() const;

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  enum class Refresh { Succeeded, SignInNeeded, Failed, Cancelled };
  struct Attempt;

  bool UsableLocked(TimePoint now) const;
  void TakeGrantLocked(const TokenGrant& grant, TimePoint now, bool afterRefusal);
  Token RefreshAndTake(std::unique_lock<std::mutex>& held);
  // Takes a refresh's outcome into the state; the line to report, if any.
  std::string TakeAttemptLocked(const Attempt& attempt);
  Attempt RunRefresh(const std::string& refreshToken, bool loaded);
  Attempt RunAppGrant();
  void TakeReply(const EndpointReply& reply, Attempt& attempt) const;
  void Say(const std::string& line);

  const OAuthProvider provider_;
  const std::shared_ptr<const HttpClient> http_;
  const std::shared_ptr<TokenStore> store_;
  StopFlag& stop_;
  const Report report_;
  const Options options_;

  mutable std::mutex lock_;
  std::condition_variable done_;
  // The state below is guarded by lock_.
  bool loaded_ = false;  // refreshToken_ was read from the store (or set by a sign-in)
  std::string refreshToken_;
  std::string accessToken_;
  TimePoint expiry_{};
  TimePoint refreshAt_{};
  bool gotAfterRefusal_ = false;
  bool refused_ = false;  // accessToken_ was refused by a server
  bool signInNeeded_ = false;
  TimePoint retryAt_{};  // app-only: when a refused credential is tried again
  bool reported_ = false;
  bool refreshing_ = false;
  uint64_t generation_ = 0;  // moves on at each sign-in: a refresh begun before it is dropped
  uint64_t finished_ = 0;    // refreshes ended, well or not
  uint64_t reached_ = 0;     // refreshes that reached the endpoint
  Token lastFailure_;
};

}  // namespace vellomar
