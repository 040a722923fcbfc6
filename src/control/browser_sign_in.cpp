#include "control/browser_sign_in.h"

#include <chrono>
#include <memory>

#include "common/system_error.h"
#include "control/main_window.h"
#include "sign_in/oauth_code_flow.h"
#include "sign_in/oauth_tokens.h"

namespace vellomar {

namespace {

constexpr std::chrono::minutes kBrowserWait{5};

// Keeps the grant through the token source the relay uses for these values; the text for the
// person either way.
std::string Conclude(Relay& relay, const SignInValues& values, const OAuthProvider& provider,
                     const SignInOutcome& outcome, bool& signedIn) {
  signedIn = false;
  if (outcome.kind != SignInOutcome::Kind::SignedIn) {
    return "Sign-in to " + provider.name + " not completed: " + outcome.reason;
  }
  SignIns::Choice choice = relay.delivery().signIns.For(values);
  if (!choice.tokens) return "Sign-in to " + provider.name + " not kept: " + choice.problem;
  Status kept = choice.tokens->SignedIn(outcome.grant);
  signedIn = true;
  if (!kept) {
    return "Signed in to " + provider.name + " as " + values.mailbox + ", but the sign-in could not be kept in " +
           choice.place + " (" + SystemErrorText(kept.failure()) + "): it lasts until the program ends.";
  }
  return "Signed in to " + provider.name + " as " + values.mailbox + ". The sign-in is kept in " + choice.place + ".";
}

}  // namespace

BrowserSignInStart StartBrowserSignIn(MainWindow& window, const SignInValues& values, BrowserSignInDone done) {
  OAuthProviderChoice provider = SignInProvider(values);
  if (!provider.provider) return {"", provider.problem};
  if (provider.provider->appOnly) {
    return {"", "The app-only sign-in to " + provider.provider->name +
                    " needs no person: mend the app's credentials, then try them with vellomar --sign-in --check"};
  }
  if (provider.provider->authorizeUrl.empty()) {
    return {"", provider.provider->name + " offers no sign-in in a browser (SMTP_OAuthAuthorizeUrl is empty)"};
  }
  auto started = BrowserSignIn::Start(*provider.provider, values.mailbox);
  if (!started) return {"", "can't start the sign-in: " + SystemErrorText(started.failure())};
  std::shared_ptr<BrowserSignIn> flow = std::move(started.value());
  const std::string address = flow->address();
  Relay& relay = window.relay();
  auto thread = relay.threads().Start([&window, &relay, flow, values, chosen = *provider.provider, done](ThreadHandle&) {
    SignInOutcome outcome = flow->Finish(*relay.delivery().signIns.http(), kBrowserWait, relay.stop());
    bool signedIn = false;
    std::string text = Conclude(relay, values, chosen, outcome, signedIn);
    if (signedIn) relay.DeliverNow();
    window.windowThread().Post([done, signedIn, text] { done(signedIn, text); });
    return 0;
  });
  if (thread == nullptr) return {"", "the relay is stopping"};
  return {address, ""};
}

}  // namespace vellomar
