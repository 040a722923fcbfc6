#include "sign_in/sign_ins.h"

#include <cstdlib>
#include <vector>

#include "common/settings.h"
#include "common/text.h"
#include "platform/process.h"
#include "platform/stop_flag.h"
#include "sign_in/oauth_tokens.h"
#include "sign_in/token_store.h"

namespace vellomar {

namespace {

// A person's sign-in's key begins with a provider's name or an https: address, never this.
constexpr const char* kAppOnlyMark = "app:";
constexpr const char* kAppOnlyPlace = "memory only (an app-only sign-in, fetched when needed)";

std::string EnvironmentText(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

SignInValues NextRelaySignIn(const Settings& s) {
  return SignInValues{OAuthSettings{s.SMTP_OAuth, s.SMTP_OAuthClientId, s.SMTP_OAuthClientSecret, s.SMTP_OAuthTenant,
                                    s.SMTP_OAuthAuthorizeUrl, s.SMTP_OAuthTokenUrl, s.SMTP_OAuthDeviceUrl,
                                    s.SMTP_OAuthScope, s.SMTP_OAuthFlow, s.SMTP_OAuthCertificate,
                                    s.SMTP_OAuthServiceAccount,
                                    // Only an application's scope depends on the API: a person's
                                    // sign-in stays the same one whatever the transport.
                                    EqualsIgnoreCase(s.SMTP_OAuthFlow, "app") ? s.Transport : ""},
                      s.SMTP_User};
}

OAuthProviderChoice SignInProvider(const SignInValues& values) {
  OAuthProviderChoice choice = OAuthProviderFor(values.oauth);
  if (choice.provider && values.mailbox.empty()) {
    return OAuthProviderChoice{std::nullopt, "SMTP_User is empty: it names the mailbox to sign in as"};
  }
  if (choice.provider) choice.provider->subject = values.mailbox;
  return choice;
}

std::string SignInAccount(const OAuthProvider& provider, const std::string& mailbox) {
  const std::string& where = provider.key == "custom" ? provider.tokenUrl : provider.key;
  // An app's tokens are not a person's: the two flows of one client never share an entry.
  const std::string& client = provider.clientId.empty() ? provider.serviceAccountFile : provider.clientId;
  return (provider.appOnly ? kAppOnlyMark : "") + where + "/" + client + "/" + mailbox;
}

bool IsAppOnlySignIn(const std::string& account) { return account.rfind(kAppOnlyMark, 0) == 0; }

SignInOptions SignInOptions::FromEnvironment() {
  SignInOptions options;
  options.tryKeyring = !EnvironmentText("DBUS_SESSION_BUS_ADDRESS").empty() && EffectiveUserId() != 0;
  options.http.authorityFile = EnvironmentText("SSL_CERT_FILE");
  return options;
}

SignIns::SignIns(std::string folder, StopFlag& stop, Log log, SignInOptions options, NeedHandler onNeeded)
    : folder_(std::move(folder)),
      stop_(stop),
      log_(std::move(log)),
      options_(std::move(options)),
      onNeeded_(std::move(onNeeded)),
      http_(std::make_shared<const HttpClient>(options_.http)) {}

SignIns::~SignIns() = default;

std::optional<SignIns::Choice> SignIns::Known(const SignInValues& values, const std::string& account) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = entries_.find(account);
  if (found == entries_.end() || !(found->second.values == values)) return std::nullopt;
  return Choice{found->second.tokens, account, found->second.place, ""};
}

SignIns::Choice SignIns::For(const SignInValues& values) {
  OAuthProviderChoice provider = SignInProvider(values);
  if (!provider.provider) return Choice{nullptr, "", "", provider.problem};
  const std::string account = SignInAccount(*provider.provider, values.mailbox);
  if (auto known = Known(values, account)) return *known;
  // Made outside the lock: opening the store may wait for the keyring.
  Entry made = Make(values, *provider.provider, account);
  {
    std::lock_guard<std::mutex> guard(lock_);
    Entry& entry = entries_[account];
    // Another thread made one for the same values meanwhile: that one holds the tokens.
    if (entry.tokens && entry.values == values) return Choice{entry.tokens, account, entry.place, ""};
    entry = made;
  }
  log_("Sign-in tokens for " + provider.provider->name + " are kept in " + made.place);
  return Choice{made.tokens, account, made.place, ""};
}

SignIns::Entry SignIns::Make(const SignInValues& values, const OAuthProvider& provider, const std::string& account) {
  // An app's access tokens are fetched again whenever needed: nothing is kept at rest.
  auto store = provider.appOnly ? nullptr
                                : TokenStore::Open(folder_, account, options_.tryKeyring, options_.keyringWait, stop_);
  // The report asks its own token source whether a sign-in is needed; set once that exists.
  auto self = std::make_shared<std::weak_ptr<OAuthTokens>>();
  auto report = [this, account, self](const std::string& line) {
    log_(line);
    std::shared_ptr<OAuthTokens> tokens = self->lock();
    if (tokens && tokens->SignInNeeded() && onNeeded_) onNeeded_(account, line);
  };
  auto tokens = std::make_shared<OAuthTokens>(provider, http_, store, stop_, report);
  *self = tokens;
  return Entry{values, tokens, store ? store->Description() : std::string(kAppOnlyPlace)};
}

std::optional<SignInValues> SignIns::ValuesOf(const std::string& account) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = entries_.find(account);
  if (found == entries_.end()) return std::nullopt;
  return found->second.values;
}

void SignIns::ReloadAll() {
  std::vector<std::shared_ptr<OAuthTokens>> all;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [account, entry] : entries_) all.push_back(entry.tokens);
  }
  for (const auto& tokens : all) tokens->Reload();
}

void SignIns::Announce(const Settings& settings) {
  if (settings.SMTP_OAuth.empty()) return;
  Choice choice = For(NextRelaySignIn(settings));
  if (!choice.tokens) log_("Error : can't sign in: " + choice.problem);
}

}  // namespace vellomar
