#include "app/sign_in_command.h"

#include <signal.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include "app/command_line.h"
#include "common/app_directory.h"
#include "common/system_error.h"
#include "delivery/delivery_notes.h"
#include "control/registry_key.h"
#include "control/settings_loading.h"
#include "platform/crypto.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/stop_flag.h"
#include "relay/program_lock.h"
#include "sign_in/oauth_code_flow.h"
#include "sign_in/oauth_device_flow.h"
#include "sign_in/oauth_tokens.h"
#include "sign_in/sign_ins.h"
#include "sign_in/token_store.h"

namespace vellomar {

namespace {

// How long the person has to finish the sign-in in the browser.
constexpr std::chrono::minutes kBrowserWait{5};

struct Context {
  const OAuthProvider& provider;
  const std::string& mailbox;
  const HttpClient& http;
  StopFlag& stop;
  std::ostream& out;
};

SignInOutcome InTheBrowser(const Context& c) {
  auto started = BrowserSignIn::Start(c.provider, c.mailbox);
  if (!started) return SignInOutcome{SignInOutcome::Kind::Unavailable, {}, SystemErrorText(started.failure())};
  c.out << "Open this address in a browser on this machine and sign in to " << c.provider.name << " as " << c.mailbox
        << ":\n\n  " << started.value()->address() << "\n\nWaiting for the browser (" << kBrowserWait.count()
        << " minutes at most)...\n"
        << std::flush;
  return started.value()->Finish(c.http, kBrowserWait, c.stop);
}

SignInOutcome WithACode(const Context& c) {
  DeviceCodeRequest request = RequestDeviceCode(c.http, c.provider, c.stop);
  if (!request.ok) return request.failure;
  const DeviceCode& code = request.code;
  if (!code.message.empty()) {
    c.out << code.message << "\n";
  } else {
    c.out << "On any device, open " << code.verificationUri << " and enter the code " << code.userCode
          << " to sign in to " << c.provider.name << " as " << c.mailbox << ".\n";
  }
  c.out << "Waiting for the sign-in (the code expires in " << (code.expiresIn.count() + 59) / 60 << " minutes)...\n"
        << std::flush;
  return AwaitDeviceSignIn(c.http, c.provider, code, c.stop);
}

// The browser's answer comes to a port of this machine, so a browser elsewhere cannot give it:
// without a display here the code is the way.
bool UseCode(bool asked, const OAuthProvider& provider) {
  if (asked || provider.authorizeUrl.empty()) return true;
  return !HasDisplay() && !provider.deviceUrl.empty();
}

void TellRunningRelay(const std::string& folder, std::ostream& out, std::ostream& err) {
  auto holder = ProgramLockHolder(folder + "/vellomar.lock");
  if (!holder) {
    out << "No Vellomar runs from " << folder << ": it uses the sign-in from its next start.\n";
    return;
  }
  Status sent = SendSignal(*holder, SIGUSR2);
  if (!sent) {
    err << "vellomar: cannot reach the running program (process " << *holder << "): " << SystemErrorText(sent.error())
        << "; it uses the sign-in from its next start.\n";
    return;
  }
  out << "Told the running Vellomar (process " << *holder << ") to use it: the waiting e-mails are tried now.\n";
}

}  // namespace

namespace {

// The sign-in values of the default account, or of the account `name` names; none (said why)
// when there is no such account.
std::optional<SignInValues> ValuesToSignIn(const std::string& name, std::ostream& err) {
  const Settings settings = ReloadRelaySettings(SettingsKey(), Settings());
  if (name.empty()) return NextRelaySignIn(settings);
  for (const Account& account : settings.Accounts) {
    if (account.name == name) return NextRelaySignIn(*account.values);
  }
  err << "vellomar: there is no account '" << name << "' in " << SettingsKey().FilePath() << "\n";
  return std::nullopt;
}

}  // namespace

namespace {

// Says once what a token source reports while the check runs.
std::string TokenSourceLine(OAuthTokens::Token::Kind kind, const std::string& reported, const std::string& reason) {
  std::string line = !reported.empty() ? reported : reason;
  if (line.empty()) line = kind == OAuthTokens::Token::Kind::Cancelled ? "stopped" : "no token";
  return WithoutErrorMark(line);
}

}  // namespace

int SignInCheckCommand(const std::string& accountName, std::ostream& out, std::ostream& err) {
  std::optional<SignInValues> chosen = ValuesToSignIn(accountName, err);
  if (!chosen) return 1;
  OAuthProviderChoice choice = SignInProvider(*chosen);
  if (!choice.provider) {
    err << "vellomar: can't sign in: " << choice.problem << "\n";
    return 1;
  }
  const OAuthProvider& provider = *choice.provider;
  const std::string folder = GetAppDirectory();
  SignInOptions options = SignInOptions::FromEnvironment();
  auto http = std::make_shared<const HttpClient>(options.http);
  StopFlag stop;
  auto store = provider.appOnly ? nullptr
                                : TokenStore::Open(folder, SignInAccount(provider, chosen->mailbox), options.tryKeyring,
                                                   options.keyringWait, stop);
  std::string reported;
  OAuthTokens tokens(provider, http, store, stop, [&reported](const std::string& line) { reported = line; });
  OAuthTokens::Token token = tokens.Get();
  const std::string who = provider.appOnly ? "the app (for " + chosen->mailbox + ")" : chosen->mailbox;
  if (token.kind != OAuthTokens::Token::Kind::Ready) {
    err << "vellomar: the sign-in to " << provider.name << " as " << who
        << " does not work: " << TokenSourceLine(token.kind, reported, token.reason) << "\n";
    return 1;
  }
  Wipe(token.accessToken);
  out << "The sign-in to " << provider.name << " as " << who << " works: it gave an access token"
      << (provider.appOnly ? " for " + provider.scope : std::string()) << ".\n";
  if (ProgramLockHolder(folder + "/vellomar.lock")) TellRunningRelay(folder, out, err);
  return 0;
}

int SignInCommand(bool device, const std::string& accountName, std::ostream& out, std::ostream& err) {
  std::optional<SignInValues> chosen = ValuesToSignIn(accountName, err);
  if (!chosen) return 1;
  const SignInValues& values = *chosen;
  if (values.oauth.provider.empty()) {
    err << "vellomar: SMTP_OAuth is not set " << (accountName.empty() ? "" : "for account '" + accountName + "' ")
        << "in " << SettingsKey().FilePath() << ": there is no sign-in to make\n";
    return 1;
  }
  OAuthProviderChoice choice = SignInProvider(values);
  if (!choice.provider) {
    err << "vellomar: can't sign in: " << choice.problem << "\n";
    return 1;
  }
  const OAuthProvider& provider = *choice.provider;
  if (provider.appOnly) {
    out << "The sign-in to " << provider.name << " is app-only (SMTP_OAuthFlow=app): there is nobody to sign in, "
        << "the relay gets its tokens with the app's credentials when it needs them.\n"
        << "To try those credentials: vellomar --sign-in --check"
        << (accountName.empty() ? "" : " --account " + accountName) << "\n";
    return 0;
  }
  bool code = UseCode(device, provider);
  if (code && provider.deviceUrl.empty()) {
    err << "vellomar: " << provider.name << " offers no sign-in with a code (SMTP_OAuthDeviceUrl is empty)\n";
    return 1;
  }
  const std::string folder = GetAppDirectory();
  SignInOptions options = SignInOptions::FromEnvironment();
  HttpClient http(options.http);
  StopFlag stop;  // Ctrl-C ends the command at once: nothing is stored before the end
  auto store = TokenStore::Open(folder, SignInAccount(provider, values.mailbox), options.tryKeyring,
                                options.keyringWait, stop);
  Context context{provider, values.mailbox, http, stop, out};
  SignInOutcome outcome = code ? WithACode(context) : InTheBrowser(context);
  if (outcome.kind != SignInOutcome::Kind::SignedIn) {
    err << "vellomar: sign-in to " << provider.name << " not completed: " << outcome.reason << "\n";
    return 1;
  }
  Status saved = store->Save(outcome.grant.refreshToken);
  if (!saved) {
    err << "vellomar: can't keep the sign-in in " << store->Description() << ": " << SystemErrorText(saved.failure())
        << "\n";
    return 1;
  }
  out << "Signed in to " << provider.name << " as " << values.mailbox << ". The sign-in is kept in "
      << store->Description() << ".\n";
  TellRunningRelay(folder, out, err);
  return 0;
}

}  // namespace vellomar
