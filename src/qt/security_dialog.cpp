#include "qt/security_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>

#include <array>
#include <climits>

#include "common/text.h"
#include "control/account_store.h"
#include "control/browser_sign_in.h"

namespace vellomar {

namespace {

// The radio buttons in their order, with the SMTP_TLS text each stands for.
struct TlsChoice {
  int id;
  const char* text;
};
constexpr TlsChoice kTlsChoices[] = {{1060, ""}, {1061, "none"}, {1062, "may"}, {1063, "starttls"}, {1064, "tls"}};

// The "Sign in with..." choices in their order, as SMTP_OAuth stores them.
constexpr const char* kProviders[] = {"", "microsoft", "google", "custom"};
constexpr int kProviderChoice = 1071;
constexpr int kSignInButton = 1079;
constexpr int kSignInText = 1080;
// The fields of the sign-in, in the order of OAuthSettings after the provider.
constexpr int kClientId = 1072, kSecret = 1073, kTenant = 1074, kAuthorizeUrl = 1075, kTokenUrl = 1076,
              kDeviceUrl = 1077, kScope = 1078;
// Who signs in (SMTP_OAuthFlow: "user", "app") and what an application proves itself with.
constexpr int kFlowChoice = 1094, kCertificate = 1095, kServiceAccount = 1096;
// Each field's label has the field's id plus this.
constexpr int kLabelOffset = 100;

// The account's own fields.
constexpr int kName = 1081, kNextRelay = 1082, kSenders = 1083, kSendAs = 1084;
constexpr int kCounts[] = {1085, 1086, 1087, 1088};
constexpr int kExchangersTls = 1070;
// How the account's mail leaves: the next relay over SMTP, or Microsoft Graph.
constexpr int kTransportChoice = 1097, kGraphUrl = 1098, kSaveToSent = 1099;
constexpr int kTlsAndLogin[] = {1060, 1061, 1062, 1063, 1064, 1066, 1067, 1068, 1069};

QString Q(const std::string& text) { return QString::fromStdString(text); }

// The account's own texts and the fields that hold them.
std::array<std::pair<int, std::string*>, 7> AccountTexts(SecurityFields& f) {
  return {{{kSenders, &f.senders},
           {kSendAs, &f.rewriteSender},
           {kCounts[0], &f.messagesPerConnection},
           {kCounts[1], &f.connectionsPerRelay},
           {kCounts[2], &f.maxPerMinute},
           {kCounts[3], &f.maxRecipientsPerDay},
           {kNextRelay, &f.nextRelay}}};
}

}  // namespace

void OpenInBrowser(const QString& address) { QDesktopServices::openUrl(QUrl(address)); }

SecurityDialog::SecurityDialog(QWidget* parent, MainWindow* core, UrlOpener open, EditedAccount account,
                               ErrorBox errorBox)
    : TemplateDialog(151, parent),
      core_(core),
      open_(std::move(open)),
      account_(std::move(account)),
      errorBox_(std::move(errorBox)) {
  QObject::connect(ControlAs<QPushButton>(1), &QPushButton::clicked, this, &QDialog::accept);
  QObject::connect(ControlAs<QPushButton>(2), &QPushButton::clicked, this, &QDialog::reject);
  // Reading a key creates it: a new account's section appears only when it is stored.
  SecurityFields fields = account_.kind == EditedAccount::Kind::New ? SecurityFields{} : LoadSecurityFields(Key());
  LoadAccount(fields);
  int checked = 1063;  // a value this version does not know asks for STARTTLS
  for (const TlsChoice& choice : kTlsChoices) {
    if (EqualsIgnoreCase(fields.tls, choice.text)) checked = choice.id;
  }
  ControlAs<QRadioButton>(checked)->setChecked(true);
  ControlAs<QLineEdit>(1065)->setText(Q(fields.user));
  ControlAs<QLineEdit>(1066)->setEchoMode(QLineEdit::Password);
  ControlAs<QLineEdit>(1066)->setText(Q(fields.password));
  ControlAs<QLineEdit>(1067)->setText(Q(fields.passwordCommand));
  ControlAs<QCheckBox>(1068)->setChecked(fields.xoauth2);
  ControlAs<QLineEdit>(1069)->setText(Q(fields.fingerprint));
  ControlAs<QCheckBox>(kExchangersTls)->setChecked(fields.exchangersMayUseTls);
  LoadTransport(fields);
  LoadSignIn(fields);
}

void SecurityDialog::LoadTransport(const SecurityFields& fields) {
  auto* choice = ControlAs<QComboBox>(kTransportChoice);
  choice->setCurrentIndex(EqualsIgnoreCase(fields.transport, "graph") ? 1 : 0);
  ControlAs<QLineEdit>(kGraphUrl)->setText(Q(fields.graphUrl));
  ControlAs<QLineEdit>(kGraphUrl)->setPlaceholderText("https://graph.microsoft.com/v1.0");
  ControlAs<QCheckBox>(kSaveToSent)->setChecked(fields.graphSaveToSent);
  Control(kSaveToSent)->setToolTip("Microsoft Graph keeps a copy of each message in the mailbox's Sent Items");
  QObject::connect(choice, &QComboBox::currentIndexChanged, this, [this] { ShowSignInChoice(); });
}

bool SecurityDialog::ThroughGraph() const { return ControlAs<QComboBox>(kTransportChoice)->currentIndex() == 1; }

std::string SecurityDialog::AccountName() const {
  if (account_.kind == EditedAccount::Kind::Default) return kDefaultAccountName;
  return account_.kind == EditedAccount::Kind::New ? ControlAs<QLineEdit>(kName)->text().toStdString() : account_.name;
}

RegistryKey SecurityDialog::Key() const { return AccountKey(AccountName()); }

void SecurityDialog::LoadAccount(const SecurityFields& fields) {
  const bool isNew = account_.kind == EditedAccount::Kind::New;
  const bool isDefault = account_.kind == EditedAccount::Kind::Default;
  setWindowTitle(isNew ? "New account" : Q("Account: " + AccountName()));
  ControlAs<QLineEdit>(kName)->setText(isNew ? "" : Q(AccountName()));
  ControlAs<QLineEdit>(kName)->setReadOnly(!isNew);
  SecurityFields shown = fields;
  for (const auto& [id, text] : AccountTexts(shown)) ControlAs<QLineEdit>(id)->setText(Q(*text));
  for (int id : kCounts) ControlAs<QLineEdit>(id)->setValidator(new QIntValidator(0, INT32_MAX, this));
  // The default account takes every sender that no other account names.
  Control(kSenders)->setEnabled(!isDefault);
  if (isDefault) ControlAs<QLineEdit>(kSenders)->setPlaceholderText("every sender no other account takes");
  Control(kExchangersTls)->setVisible(isDefault);
  QObject::connect(ControlAs<QLineEdit>(kNextRelay), &QLineEdit::textChanged, this, [this] { ShowSignInChoice(); });
}

void SecurityDialog::LoadSignIn(const SecurityFields& fields) {
  int chosen = 0;
  for (int i = 1; i < 4; ++i) {
    if (EqualsIgnoreCase(fields.signIn.provider, kProviders[i])) chosen = i;
  }
  const OAuthSettings& s = fields.signIn;
  const std::pair<int, const std::string*> texts[] = {{kClientId, &s.clientId},       {kSecret, &s.clientSecret},
                                                      {kTenant, &s.tenant},           {kAuthorizeUrl, &s.authorizeUrl},
                                                      {kTokenUrl, &s.tokenUrl},       {kDeviceUrl, &s.deviceUrl},
                                                      {kScope, &s.scope}};
  for (const auto& [id, text] : texts) ControlAs<QLineEdit>(id)->setText(Q(*text));
  ControlAs<QLineEdit>(kCertificate)->setText(Q(s.certificate));
  ControlAs<QLineEdit>(kServiceAccount)->setText(Q(s.serviceAccount));
  ControlAs<QLineEdit>(kSecret)->setEchoMode(QLineEdit::Password);
  auto* choice = ControlAs<QComboBox>(kProviderChoice);
  choice->setCurrentIndex(chosen);
  QObject::connect(choice, &QComboBox::currentIndexChanged, this, [this] { ShowSignInChoice(); });
  auto* flow = ControlAs<QComboBox>(kFlowChoice);
  flow->setCurrentIndex(EqualsIgnoreCase(s.flow, "app") ? 1 : 0);
  QObject::connect(flow, &QComboBox::currentIndexChanged, this, [this] { ShowSignInChoice(); });
  QObject::connect(ControlAs<QPushButton>(kSignInButton), &QPushButton::clicked, this, [this] { SignIn(); });
  ShowSignInChoice();
}

std::string SecurityDialog::ChosenProvider() const {
  int chosen = ControlAs<QComboBox>(kProviderChoice)->currentIndex();
  return chosen > 0 && chosen < 4 ? kProviders[chosen] : "";
}

OAuthSettings SecurityDialog::SignInFields() const {
  auto text = [this](int id) { return ControlAs<QLineEdit>(id)->text().toStdString(); };
  const bool app = ControlAs<QComboBox>(kFlowChoice)->currentIndex() == 1;
  // The transport decides which API a Microsoft token is asked for.
  return OAuthSettings{ChosenProvider(),    text(kClientId), text(kSecret),    text(kTenant),
                       text(kAuthorizeUrl), text(kTokenUrl), text(kDeviceUrl), text(kScope),
                       app ? "app" : "user", text(kCertificate), text(kServiceAccount), ThroughGraph() ? "graph" : ""};
}

void SecurityDialog::ShowField(int id, bool used) {
  Control(id)->setVisible(used);
  Control(id)->setEnabled(used);
  Control(id + kLabelOffset)->setVisible(used);
}

// Only the fields the chosen provider and flow use are shown: an application proves itself
// with a secret or a certificate (Microsoft), a service account's key (Google), any of them
// (custom); a person signs in through the provider's pages.
void SecurityDialog::ShowSignInChoice() {
  const std::string provider = ChosenProvider();
  const bool any = !provider.empty();
  const bool app = any && ControlAs<QComboBox>(kFlowChoice)->currentIndex() == 1;
  const bool google = provider == "google", custom = provider == "custom";
  ShowField(kFlowChoice, any);
  ShowField(kClientId, any && !(app && google));
  ShowField(kSecret, any && !(app && google));
  ShowField(kTenant, provider == "microsoft");
  for (int id : {kAuthorizeUrl, kDeviceUrl}) ShowField(id, custom && !app);
  for (int id : {kTokenUrl, kScope}) ShowField(id, custom);
  ShowField(kCertificate, app && !google);
  ShowField(kServiceAccount, app && provider != "microsoft");
  Control(kSignInButton)->setEnabled(any && !app && core_ != nullptr);
  ShowTransport();
  // Graph needs no next relay, so none is suggested for it.
  const std::string suggested = ThroughGraph() ? "" : SuggestedNextRelay(provider);
  bool suggesting = ControlAs<QLineEdit>(kNextRelay)->text().isEmpty() && !suggested.empty();
  std::string text = suggesting ? "The next relay (SMTP) becomes " + suggested + "." : "";
  if (app) {
    text += std::string(text.empty() ? "" : " ") +
            "No one signs in: tokens are fetched when needed (try them: vellomar --sign-in --check).";
  }
  SayAboutSignIn(text);
}

// Graph is reached over HTTPS with the sign-in's token, as the mailbox the user names: the next
// relay, its TLS and the password login do not apply.
void SecurityDialog::ShowTransport() {
  const bool graph = ThroughGraph();
  ShowField(kGraphUrl, graph);
  Control(kSaveToSent)->setVisible(graph);  // a check box is its own label
  Control(kSaveToSent)->setEnabled(graph);
  Control(kNextRelay)->setEnabled(!graph);
  for (int id : kTlsAndLogin) Control(id)->setEnabled(!graph);
}

void SecurityDialog::SayAboutSignIn(const std::string& text) { ControlAs<QLabel>(kSignInText)->setText(Q(text)); }

// The sign-in runs with the values as typed: once they are stored, the relay finds the same
// sign-in, keyed by those values, with its tokens.
void SecurityDialog::SignIn() {
  if (core_ == nullptr) return;
  SignInValues values{SignInFields(), ControlAs<QLineEdit>(1065)->text().toStdString()};
  QPointer<SecurityDialog> self(this);
  BrowserSignInStart started = StartBrowserSignIn(*core_, values, [self](bool, const std::string& text) {
    if (self == nullptr) return;  // closed meanwhile; the relay kept the sign-in all the same
    self->SayAboutSignIn(text);
    self->Control(kSignInButton)->setEnabled(true);
  });
  if (!started.problem.empty()) return SayAboutSignIn("Can't sign in: " + started.problem);
  Control(kSignInButton)->setEnabled(false);
  SayAboutSignIn("Waiting for the sign-in in the browser...");
  open_(Q(started.address));
}

SecurityFields SecurityDialog::Fields() const {
  SecurityFields fields;
  for (const TlsChoice& choice : kTlsChoices) {
    if (ControlAs<QRadioButton>(choice.id)->isChecked()) fields.tls = choice.text;
  }
  fields.user = ControlAs<QLineEdit>(1065)->text().toStdString();
  fields.password = ControlAs<QLineEdit>(1066)->text().toStdString();
  fields.passwordCommand = ControlAs<QLineEdit>(1067)->text().toStdString();
  fields.xoauth2 = ControlAs<QCheckBox>(1068)->isChecked();
  fields.fingerprint = ControlAs<QLineEdit>(1069)->text().toStdString();
  fields.exchangersMayUseTls = ControlAs<QCheckBox>(kExchangersTls)->isChecked();
  fields.signIn = SignInFields();
  for (const auto& [id, text] : AccountTexts(fields)) *text = ControlAs<QLineEdit>(id)->text().trimmed().toStdString();
  fields.transport = ThroughGraph() ? "graph" : "";
  fields.graphUrl = ControlAs<QLineEdit>(kGraphUrl)->text().trimmed().toStdString();
  fields.graphSaveToSent = ControlAs<QCheckBox>(kSaveToSent)->isChecked();
  if (fields.nextRelay.empty() && !ThroughGraph()) fields.nextRelay = SuggestedNextRelay(fields.signIn.provider);
  return fields;
}

std::string SecurityDialog::Problem() const {
  if (account_.kind == EditedAccount::Kind::New) {
    if (std::string problem = NewAccountNameProblem(AccountName()); !problem.empty()) return problem;
  }
  const SecurityFields fields = Fields();
  if (ThroughGraph()) return GraphProblem(fields);
  // Its senders' mail would find no way out; only the default account relays without one.
  if (account_.kind != EditedAccount::Kind::Default && fields.nextRelay.empty()) {
    return "An account needs its next relay (SMTP).";
  }
  return "";
}

// What the relay would refuse to send through Graph with, said before it is stored.
std::string SecurityDialog::GraphProblem(const SecurityFields& fields) const {
  if (fields.user.empty()) return "Microsoft Graph sends as a mailbox: type it in as the User.";
  if (fields.signIn.provider.empty()) return "Microsoft Graph needs a sign-in: choose it under \"Sign in with...\".";
  if (!fields.graphUrl.empty() && fields.graphUrl.rfind("https://", 0) != 0) {
    return "The Graph URL must be an https: address.";
  }
  return "";
}

void SecurityDialog::accept() {
  if (std::string problem = Problem(); !problem.empty()) return errorBox_(this, "Account", Q(problem));
  StoreSecurityFields(Fields(), Key());
  if (account_.kind == EditedAccount::Kind::New) account_ = {EditedAccount::Kind::Stored, AccountName()};
  QDialog::accept();
}

}  // namespace vellomar
