#include "ui/security_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>

#include "common/text.h"
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

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

void OpenInBrowser(const QString& address) { QDesktopServices::openUrl(QUrl(address)); }

SecurityDialog::SecurityDialog(QWidget* parent, MainWindow* core, UrlOpener open)
    : TemplateDialog(151, parent), core_(core), open_(std::move(open)) {
  QObject::connect(ControlAs<QPushButton>(1), &QPushButton::clicked, this, &QDialog::accept);
  QObject::connect(ControlAs<QPushButton>(2), &QPushButton::clicked, this, &QDialog::reject);
  SecurityFields fields = LoadSecurityFields();
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
  ControlAs<QCheckBox>(1070)->setChecked(fields.exchangersMayUseTls);
  LoadSignIn(fields);
}

void SecurityDialog::LoadSignIn(const SecurityFields& fields) {
  storedServer_ = fields.nextRelay;
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
  ControlAs<QLineEdit>(kSecret)->setEchoMode(QLineEdit::Password);
  auto* choice = ControlAs<QComboBox>(kProviderChoice);
  choice->setCurrentIndex(chosen);
  QObject::connect(choice, &QComboBox::currentIndexChanged, this, [this] { ShowSignInChoice(); });
  QObject::connect(ControlAs<QPushButton>(kSignInButton), &QPushButton::clicked, this, [this] { SignIn(); });
  ShowSignInChoice();
}

std::string SecurityDialog::ChosenProvider() const {
  int chosen = ControlAs<QComboBox>(kProviderChoice)->currentIndex();
  return chosen > 0 && chosen < 4 ? kProviders[chosen] : "";
}

OAuthSettings SecurityDialog::SignInFields() const {
  auto text = [this](int id) { return ControlAs<QLineEdit>(id)->text().toStdString(); };
  return OAuthSettings{ChosenProvider(),    text(kClientId),  text(kSecret), text(kTenant),
                       text(kAuthorizeUrl), text(kTokenUrl),  text(kDeviceUrl), text(kScope)};
}

void SecurityDialog::ShowSignInChoice() {
  const std::string provider = ChosenProvider();
  const bool any = !provider.empty();
  for (int id : {kClientId, kSecret}) Control(id)->setEnabled(any);
  Control(kTenant)->setEnabled(provider == "microsoft");
  for (int id : {kAuthorizeUrl, kTokenUrl, kDeviceUrl, kScope}) Control(id)->setEnabled(provider == "custom");
  Control(kSignInButton)->setEnabled(any && core_ != nullptr);
  const std::string suggested = SuggestedNextRelay(provider);
  bool suggesting = storedServer_.empty() && !suggested.empty();
  SayAboutSignIn(suggesting ? "The next relay (SMTP) becomes " + suggested + "." : "");
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
  fields.exchangersMayUseTls = ControlAs<QCheckBox>(1070)->isChecked();
  fields.signIn = SignInFields();
  fields.nextRelay = storedServer_.empty() ? SuggestedNextRelay(fields.signIn.provider) : "";
  return fields;
}

void SecurityDialog::accept() {
  StoreSecurityFields(Fields());
  QDialog::accept();
}

}  // namespace vellomar
