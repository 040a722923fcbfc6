#include "qt/dialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include <algorithm>
#include <functional>

#include "control/account_store.h"
#include "control/main_window.h"
#include "control/registry_key.h"
#include "control/settings_loading.h"
#include "platform/file_system.h"
#include "platform/tls_stream.h"
#include "sign_in/oauth_tokens.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/oauth_authority.h"
#include "qt/accounts_dialog.h"
#include "qt/main_dialog.h"
#include "qt/qt_controls.h"
#include "qt/qt_executor.h"
#include "qt/security_dialog.h"
#include "qt/users_dialog.h"
#include "ui_fixture.h"

namespace vellomar {
namespace {

using test::Box;

class DialogsTest : public test::UiFixture {};

TEST_F(DialogsTest, EveryControlStandsAtItsDialogUnits) {
  ModesDialog modes;
  SettingsDialog settings;
  AboutDialog about;
  // Base units of DejaVu Sans 8 pt: 7 (average width) and 13 (height); x = round(u * 7 / 4),
  // y = round(u * 13 / 8), halves away from zero.
  EXPECT_EQ(modes.size(), QSize(439, 327));                            // 251 x 201
  EXPECT_EQ(Box(modes.Control(1)), std::make_tuple(128, 293, 88, 23));  // OK 73, 180, 50, 14
  EXPECT_EQ(Box(settings.Control(1036)), std::make_tuple(460, 75, 68, 20));  // 263, 46, 39, 12
  EXPECT_EQ(settings.size(), QSize(714, 426));                                // 408 x 262
  EXPECT_EQ(Box(settings.Control(1042)), std::make_tuple(222, 236, 480, 20));  // 127, 145, 274, 12
  EXPECT_EQ(Box(about.Control(145)), std::make_tuple(12, 11, 278, 68));     // 7, 7, 159, 42
  for (const TemplateDialog* dialog : {static_cast<TemplateDialog*>(&modes), static_cast<TemplateDialog*>(&settings),
                                       static_cast<TemplateDialog*>(&about)}) {
    for (const QWidget* child : dialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
      EXPECT_TRUE(dialog->rect().contains(child->geometry())) << dialog->windowTitle().toStdString();
    }
  }
}

TEST_F(DialogsTest, SecurityDialogLoadsStoresAndPutsTheValuesInUse) {
  SettingsKey().Write("SMTP_TLS", "tls");
  SettingsKey().Write("SMTP_User", "jane@provider.example");
  SettingsKey().Write("SMTP_Password", "old secret");
  SettingsKey().Write("SMTP_Auth", "xoauth2");
  {
    SecurityDialog dialog;
    EXPECT_EQ(dialog.windowTitle(), "Account: default");
    EXPECT_EQ(std::make_tuple(dialog.ControlAs<QLineEdit>(1081)->text(), dialog.ControlAs<QLineEdit>(1081)->isReadOnly(),
                              dialog.Control(1083)->isEnabled(), dialog.Control(1070)->isHidden()),
              std::make_tuple("default", true, false, false))
        << "the default account takes every other sender and has the exchangers' TLS";
    EXPECT_TRUE(dialog.ControlAs<QRadioButton>(1064)->isChecked());
    EXPECT_EQ(dialog.ControlAs<QLineEdit>(1065)->text(), "jane@provider.example");
    EXPECT_EQ(dialog.ControlAs<QLineEdit>(1066)->echoMode(), QLineEdit::Password) << "the password is not shown";
    EXPECT_EQ(dialog.ControlAs<QLineEdit>(1066)->text(), "old secret");
    EXPECT_TRUE(dialog.ControlAs<QCheckBox>(1068)->isChecked());
    EXPECT_FALSE(dialog.ControlAs<QCheckBox>(1070)->isChecked());
    dialog.ControlAs<QRadioButton>(1063)->setChecked(true);
    dialog.ControlAs<QLineEdit>(1066)->setText("");
    dialog.ControlAs<QLineEdit>(1067)->setText("secret-tool lookup service smtp");
    dialog.ControlAs<QCheckBox>(1068)->setChecked(false);
    dialog.ControlAs<QLineEdit>(1069)->setText("AB:CD");
    dialog.ControlAs<QCheckBox>(1070)->setChecked(true);
    // "Sign in with...": Google's fields only, its next relay suggested while none is set.
    EXPECT_EQ(dialog.ControlAs<QComboBox>(1071)->currentText(), "none");
    dialog.ControlAs<QComboBox>(1071)->setCurrentIndex(2);
    EXPECT_EQ(std::make_tuple(dialog.Control(1072)->isEnabled(), dialog.Control(1074)->isEnabled(),
                              dialog.Control(1076)->isEnabled(), dialog.Control(1079)->isEnabled()),
              std::make_tuple(true, false, false, false))
        << "client id, not the tenant nor a custom URL; no Sign in without a running relay";
    EXPECT_EQ(dialog.ControlAs<QLabel>(1080)->text(), "The next relay (SMTP) becomes smtp.gmail.com:587.");
    EXPECT_EQ(dialog.ControlAs<QLineEdit>(1073)->echoMode(), QLineEdit::Password);
    dialog.ControlAs<QLineEdit>(1072)->setText("client-1");
    dialog.ControlAs<QLineEdit>(1073)->setText("desktop secret");
    dialog.ControlAs<QLineEdit>(1085)->setText("5");
    dialog.ControlAs<QPushButton>(1)->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
  }
  const std::pair<const char*, const char*> stored[] = {
      {"SMTP_TLS", "starttls"}, {"SMTP_User", "jane@provider.example"}, {"SMTP_Password", ""},
      {"SMTP_PasswordCommand", "secret-tool lookup service smtp"}, {"SMTP_Auth", ""}, {"SMTP_Fingerprint", "AB:CD"},
      {"MX_TLS", "may"}, {"SMTP_OAuth", "google"}, {"SMTP_OAuthClientId", "client-1"},
      {"SMTP_OAuthClientSecret", "desktop secret"}, {"SMTP", "smtp.gmail.com:587"}, {"MessagesPerConnection", "5"}};
  for (auto [name, text] : stored) EXPECT_EQ(SettingsKey().Read(name), text) << name;

  SettingsKey().Write("SMTP_TLS", "");
  SecurityDialog automatic;
  EXPECT_TRUE(automatic.ControlAs<QRadioButton>(1060)->isChecked());
  EXPECT_EQ(automatic.ControlAs<QComboBox>(1071)->currentText(), "Google");
  EXPECT_EQ(automatic.ControlAs<QLabel>(1080)->text(), "") << "a next relay is set: none suggested";
  automatic.ControlAs<QLineEdit>(1065)->setText("someone else");
  automatic.ControlAs<QPushButton>(2)->click();
  EXPECT_EQ(SettingsKey().Read("SMTP_User"), "jane@provider.example") << "Cancel stores nothing";
}

// The app-only sign-in shows what each provider's application proves itself with, and
// nothing a person's sign-in needs.
TEST_F(DialogsTest, SecurityDialogShowsOnlyTheFieldsOfTheChosenProviderAndFlow) {
  SettingsKey().Write("SMTP_OAuth", "microsoft");
  SettingsKey().Write("SMTP_OAuthFlow", "app");
  SecurityDialog dialog;
  EXPECT_EQ(dialog.ControlAs<QComboBox>(1094)->currentIndex(), 1);
  auto shown = [&dialog](std::initializer_list<int> ids) {
    std::string seen;
    for (int id : ids) seen += dialog.Control(id)->isHidden() == dialog.Control(id + 100)->isHidden()
                                   ? (dialog.Control(id)->isHidden() ? '-' : '+')
                                   : '?';
    return seen;
  };
  const std::initializer_list<int> fields{1072, 1073, 1074, 1075, 1076, 1077, 1078, 1095, 1096};
  struct Step {
    int provider;
    int flow;
    const char* want;  // client id, secret, tenant, authorize, token, device, scope, certificate, service account
  };
  const Step steps[] = {
      {1, 1, "+++----+-"}, {2, 1, "--------+"}, {3, 1, "++--+-+++"},
      {3, 0, "++-++++--"}, {1, 0, "+++------"}, {0, 0, "---------"},
  };
  for (const Step& step : steps) {
    dialog.ControlAs<QComboBox>(1071)->setCurrentIndex(step.provider);
    dialog.ControlAs<QComboBox>(1094)->setCurrentIndex(step.flow);
    EXPECT_EQ(shown(fields), step.want) << step.provider << " " << step.flow;
  }
  dialog.ControlAs<QComboBox>(1071)->setCurrentIndex(3);
  dialog.ControlAs<QComboBox>(1094)->setCurrentIndex(1);
  EXPECT_FALSE(dialog.Control(1079)->isEnabled()) << "no one to sign in";
  dialog.ControlAs<QLineEdit>(1095)->setText("/etc/vellomar/app.pem");
  dialog.ControlAs<QLineEdit>(1096)->setText("/etc/vellomar/sa.json");
  dialog.ControlAs<QLineEdit>(1082)->setText("localhost:587");
  dialog.ControlAs<QPushButton>(1)->click();
  EXPECT_EQ(SettingsKey().Read("SMTP_OAuthFlow"), "app");
  EXPECT_EQ(SettingsKey().Read("SMTP_OAuthCertificate"), "/etc/vellomar/app.pem");
  EXPECT_EQ(SettingsKey().Read("SMTP_OAuthServiceAccount"), "/etc/vellomar/sa.json");
}

// Through Microsoft Graph: its address and Sent Items choice appear, the next relay and the
// password login grey out, no next relay is suggested, and what the relay would refuse to
// send with is said before anything is stored.
TEST_F(DialogsTest, SecurityDialogChoosesMicrosoftGraph) {
  SecurityDialog dialog;
  std::string errors;
  dialog.SetErrorBox([&](QWidget*, const QString&, const QString& text) { errors += text.toStdString() + "\n"; });
  EXPECT_EQ(std::make_tuple(dialog.Control(1098)->isHidden(), dialog.Control(1099)->isHidden(),
                            dialog.Control(1082)->isEnabled(), dialog.Control(1066)->isEnabled()),
            std::make_tuple(true, true, true, true));
  dialog.ControlAs<QComboBox>(1097)->setCurrentIndex(1);
  EXPECT_EQ(std::make_tuple(dialog.Control(1098)->isHidden(), dialog.Control(1099)->isHidden(),
                            dialog.Control(1082)->isEnabled(), dialog.Control(1066)->isEnabled(),
                            dialog.Control(1063)->isEnabled(), dialog.Control(1065)->isEnabled()),
            std::make_tuple(false, false, false, false, false, true))
      << "the user stays: it names the mailbox";
  EXPECT_TRUE(dialog.ControlAs<QCheckBox>(1099)->isChecked()) << "Graph's own default";
  struct Step {
    std::function<void()> type;
    const char* error;  // "" once it is stored
  };
  const Step steps[] = {
      {[] {}, "Microsoft Graph sends as a mailbox: type it in as the User."},
      {[&] { dialog.ControlAs<QLineEdit>(1065)->setText("scanner@contoso.example"); },
       "Microsoft Graph needs a sign-in: choose it under \"Sign in with...\"."},
      {[&] {
         dialog.ControlAs<QComboBox>(1071)->setCurrentIndex(1);
         dialog.ControlAs<QLineEdit>(1098)->setText("http://graph.example");
       },
       "The Graph URL must be an https: address."},
      {[&] {
         dialog.ControlAs<QLineEdit>(1098)->setText("https://graph.microsoft.us/v1.0");
         dialog.ControlAs<QCheckBox>(1099)->setChecked(false);
       },
       ""},
  };
  for (const Step& step : steps) {
    errors.clear();
    step.type();
    EXPECT_EQ(dialog.ControlAs<QLabel>(1080)->text().toStdString().find("next relay"), std::string::npos);
    dialog.ControlAs<QPushButton>(1)->click();
    EXPECT_EQ(errors, *step.error ? step.error + std::string("\n") : "");
  }
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  const std::pair<const char*, const char*> stored[] = {{"Transport", "graph"},
                                                        {"GraphUrl", "https://graph.microsoft.us/v1.0"},
                                                        {"GraphSaveToSent", "0"},
                                                        {"SMTP", ""},
                                                        {"SMTP_User", "scanner@contoso.example"},
                                                        {"SMTP_OAuth", "microsoft"}};
  for (auto [name, text] : stored) EXPECT_EQ(SettingsKey().Read(name), text) << name;
  EXPECT_EQ(ReadAccountSummaries()[0].nextRelay, "Microsoft Graph") << "the accounts list's way out";
  SecurityDialog again;
  EXPECT_EQ(std::make_tuple(again.ControlAs<QComboBox>(1097)->currentIndex(), again.ControlAs<QCheckBox>(1099)->isChecked(),
                            again.Control(1082)->isEnabled()),
            std::make_tuple(1, false, false));
}

// "Sign in..." with the values as typed: the browser (curl) signs in at the test authority and
// comes back to the relay's loopback listener; the relay keeps the sign-in and uses its token.
TEST_F(DialogsTest, SignInFromTheSecurityDialogThroughTheBrowser) {
  ASSERT_TRUE(MakeDirectories(dir().File("keys")));
  test::OAuthAuthority authority(dir().File("keys"));
  ASSERT_TRUE(authority.started());
  StopFlag stop;
  QtExecutor windowThread{stop};
  MainDialog window;
  QtControls controls{window};
  SignInOptions options;
  options.http.authorityFile = authority.authorityFile();
  MainWindow core{windowThread, controls, stop, dir().path(), nullptr, options};
  std::string page;
  SecurityDialog dialog(nullptr, &core, [&](const QString& address) {
    page = test::RunProgram({"/usr/bin/curl", "-sSL", "--cacert", authority.authorityFile(), address.toStdString()},
                            "/dev/null", dir().path(), 30000).out;
  });
  dialog.ControlAs<QLineEdit>(1065)->setText("alice@example.org");
  dialog.ControlAs<QComboBox>(1071)->setCurrentIndex(3);
  const std::pair<int, std::string> typed[] = {{1072, "vellomar-tests"}, {1075, authority.Url("/authorize")},
                                               {1076, authority.Url("/token")}, {1078, "smtp offline"}};
  for (const auto& [id, text] : typed) dialog.ControlAs<QLineEdit>(id)->setText(QString::fromStdString(text));
  dialog.ControlAs<QPushButton>(1079)->click();
  const QString signedIn = QString::fromStdString("Signed in to " + authority.Url("").substr(8) + " as alice@example.org");
  EXPECT_TRUE(test::Eventually([&] {
    QApplication::processEvents();
    return dialog.ControlAs<QLabel>(1080)->text().startsWith(signedIn);
  })) << dialog.ControlAs<QLabel>(1080)->text().toStdString();
  EXPECT_NE(page.find("You can close this page."), std::string::npos) << page;
  EXPECT_TRUE(dialog.Control(1079)->isEnabled());
  SignInValues values{OAuthSettings{"custom", "vellomar-tests", "", "", authority.Url("/authorize"),
                                    authority.Url("/token"), "", "smtp offline", "user", "", "", ""},
                      "alice@example.org"};
  SignIns::Choice choice = core.relay().delivery().signIns.For(values);
  ASSERT_NE(choice.tokens, nullptr);
  EXPECT_EQ(choice.tokens->Get().accessToken, "at-1");
  EXPECT_EQ(choice.tokens->refreshes(), 0u) << "the sign-in's own token, no refresh";
  auto kept = ReadWholeFile(choice.place.substr(std::string("the file ").size()));
  ASSERT_TRUE(kept.ok());
  EXPECT_EQ(kept.value(), authority.State()["refresh_token"] + "\n") << "the one the authority holds";
  stop.Set();
  core.relay().threads().JoinAll();
}

// The accounts listed, a new one added once its name and next relay are usable, one edited and
// one removed: each change stored and in use at once.
TEST_F(DialogsTest, AccountsDialogAddsEditsAndRemovesAccounts) {
  SettingsKey().Write("SMTP", "smtp.home.example");
  AccountKey("work").Write("SMTP", "smtp.work.example");
  StopFlag stop;
  QtExecutor windowThread{stop};
  MainDialog window;
  QtControls controls{window};
  MainWindow core{windowThread, controls, stop, dir().path()};
  std::function<void(SecurityDialog&)> typing;
  std::string errors;
  bool confirm = false;
  AccountsDialog dialog(
      nullptr, &core,
      [&](SecurityDialog& account) {
        account.SetErrorBox([&](QWidget*, const QString&, const QString& text) { errors += text.toStdString() + "\n"; });
        typing(account);
        account.accept();
        return account.result() == QDialog::Accepted;
      },
      [&](QWidget*, const QString&) { return confirm; });
  auto rows = [&] {
    std::string shown;
    for (int i = 0; i < dialog.list()->topLevelItemCount(); ++i) {
      for (int c = 0; c < 4; ++c) shown += dialog.list()->topLevelItem(i)->text(c).toStdString() + (c < 3 ? "|" : "\n");
    }
    return shown;
  };
  EXPECT_EQ(rows(), "default|smtp.home.example||every other sender\nwork|smtp.work.example||\n");
  EXPECT_FALSE(dialog.Control(1093)->isEnabled()) << "the default account cannot go";
  auto type = [](SecurityDialog& account, int id, const char* text) { account.ControlAs<QLineEdit>(id)->setText(text); };
  for (const char* name : {"Default", "WORK", "two words", "shop"}) {
    typing = [&](SecurityDialog& account) {
      EXPECT_TRUE(account.Control(1070)->isHidden());
      type(account, 1081, name);
      type(account, 1083, "*@shop.example");
    };
    dialog.Add();
  }
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 4) << errors;
  EXPECT_EQ(errors.substr(errors.rfind('\n', errors.size() - 2) + 1), "An account needs its next relay (SMTP).\n");
  typing = [&](SecurityDialog& account) {
    type(account, 1081, "shop");
    type(account, 1082, "smtp.shop.example:465");
    type(account, 1083, "sales@shop.example *@shop.example");
  };
  dialog.Add();
  dialog.list()->setCurrentItem(dialog.list()->topLevelItem(2));
  typing = [&](SecurityDialog& account) {
    EXPECT_EQ(account.windowTitle(), "Account: work");
    type(account, 1065, "me@work.example");
    type(account, 1087, "30");
  };
  dialog.Edit();
  EXPECT_EQ(rows(), "default|smtp.home.example||every other sender\nshop|smtp.shop.example:465||sales@shop.example "
                    "*@shop.example\nwork|smtp.work.example|me@work.example|\n");
  EXPECT_EQ(SettingsKey().Read("MX_TLS"), "") << "left alone by the other accounts";
  std::shared_ptr<const Settings> inUse = core.relay().settings();
  ASSERT_EQ(inUse->Accounts.size(), 2u);
  EXPECT_EQ(std::tie(inUse->Accounts[1].name, inUse->Accounts[1].values->MaxPerMinute), std::make_tuple("work", 30));
  dialog.list()->setCurrentItem(dialog.list()->topLevelItem(1));
  dialog.Remove();
  EXPECT_EQ(StoredAccountNames(SettingsKey()).size(), 2u) << "not confirmed: kept";
  confirm = true;
  dialog.Remove();
  EXPECT_EQ(StoredAccountNames(SettingsKey()), std::vector<std::string>{"work"});
  EXPECT_EQ(core.relay().settings()->Accounts.size(), 1u);
  stop.Set();
  core.relay().threads().JoinAll();
}

TEST_F(DialogsTest, ModesDialogTextsAndIds) {
  ModesDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), "Configuration");
  // Multi-line: broken at blanks to fit the control, nothing else changed.
  QString trueRelaying = dialog.ControlAs<QRadioButton>(1019)->text();
  EXPECT_TRUE(trueRelaying.contains('\n'));
  EXPECT_EQ(trueRelaying.replace('\n', ' '), "True relaying     (e-mails are sent to corresponding recipient's server)");
  EXPECT_EQ(dialog.ControlAs<QRadioButton>(1018)->text().replace('\n', ' '),
            "Simple relaying    (all e-mails are sent to the same intermediate server)");
  for (int id : {1020, 1021, 1033}) EXPECT_NE(dialog.ControlAs<QLineEdit>(id), nullptr) << id;
  EXPECT_EQ(dialog.ControlAs<QPushButton>(1)->text(), "OK");
  EXPECT_TRUE(dialog.ControlAs<QPushButton>(1)->isDefault());
  EXPECT_EQ(dialog.ControlAs<QPushButton>(2)->text(), "Cancel");
}

TEST_F(DialogsTest, ModesDialogLoadsRefusesAndStores) {
  std::vector<std::pair<QString, QString>> boxes;
  auto record = [&boxes](QWidget*, const QString& caption, const QString& text) { boxes.emplace_back(caption, text); };
  {
    ModesDialog empty(nullptr, record);
    EXPECT_TRUE(empty.ControlAs<QRadioButton>(1018)->isChecked()) << "simple relaying on an empty store";
    EXPECT_EQ(empty.ControlAs<QLineEdit>(1020)->text(), "");
    empty.ControlAs<QRadioButton>(1019)->setChecked(true);
    empty.ControlAs<QLineEdit>(1020)->setText("relay.example");
    const std::string before = Machine();
    empty.accept();
    EXPECT_EQ(empty.result(), QDialog::Rejected) << "the dialog stays open";
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].first, "Error");
    EXPECT_EQ(boxes[0].second, "You must fill the entry associated to the selected mode");
    EXPECT_EQ(Machine(), before);
    empty.ControlAs<QLineEdit>(1021)->setText("10.0.0.53");
    empty.accept();
    EXPECT_EQ(empty.result(), QDialog::Accepted);
  }
  EXPECT_EQ(SettingsKey().Read("DNS"), "10.0.0.53");
  EXPECT_EQ(SettingsKey().Read("SMTP"), "relay.example");
  EXPECT_EQ(SettingsKey().Read("REAL_RELAY"), "1");
  ModesDialog reopened;
  EXPECT_TRUE(reopened.ControlAs<QRadioButton>(1019)->isChecked());
  EXPECT_EQ(reopened.ControlAs<QLineEdit>(1021)->text(), "10.0.0.53");
}

TEST_F(DialogsTest, SettingsDialogStoresWhatWasTypedWithoutChecks) {
  SettingsDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), "Settings");
  EXPECT_EQ(dialog.ControlAs<QCheckBox>(1032)->text().replace('\n', ' '),
            "Automatically start the program at Windows startup");
  dialog.ControlAs<QLineEdit>(1036)->setText("many");
  dialog.ControlAs<QLineEdit>(1035)->setText("-5");
  dialog.ControlAs<QCheckBox>(1038)->setChecked(true);
  EXPECT_EQ(dialog.ControlAs<QLineEdit>(1042)->text(), "") << "no list stored yet: the default applies";
  bool labelled = false;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) labelled |= label->text() == "Allowed clients (networks) :";
  EXPECT_TRUE(labelled);
  dialog.ControlAs<QLineEdit>(1042)->setText("192.0.2.0/24, 2001:db8::/32 typo");
  dialog.ControlAs<QLineEdit>(1043)->setText("25 587 465");
  dialog.ControlAs<QLineEdit>(1044)->setText("self");
  dialog.ControlAs<QLineEdit>(1046)->setText("1.0");
  dialog.ControlAs<QCheckBox>(1048)->setChecked(true);
  dialog.ControlAs<QLineEdit>(1049)->setText("0");
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(SettingsKey().Read("Input"), "many");
  EXPECT_EQ(SettingsKey().Read("Logsize"), "-5");
  EXPECT_EQ(SettingsKey().Read("Logrec"), "1");
  EXPECT_EQ(SettingsKey().Read("Minimize"), "0");
  EXPECT_EQ(SettingsKey().Read("Allow"), "192.0.2.0/24, 2001:db8::/32 typo") << "stored as typed";
  for (auto [name, text] : {std::pair{"Ports", "25 587 465"}, {"TLS_Certificate", "self"}, {"TLS_Key", ""},
                            {"TLS_MinVersion", "1.0"}, {"AuthInClear", "0"}, {"RequireAuth", "1"}, {"MaxSize", "0"}}) {
    EXPECT_EQ(SettingsKey().Read(name), text) << name;
  }
  SettingsDialog reopened;
  EXPECT_EQ(reopened.ControlAs<QLineEdit>(1036)->text(), "many");
  EXPECT_EQ(reopened.ControlAs<QLineEdit>(1042)->text(), "192.0.2.0/24, 2001:db8::/32 typo");
  EXPECT_FALSE(reopened.ControlAs<QCheckBox>(1032)->isChecked());
}

// "Users...": names added with the password asked twice, a mismatch or a bad name changing
// nothing, a user removed; the file holds hashes only.
TEST_F(DialogsTest, UsersDialogAddsAndRemovesUsers) {
  std::vector<QString> answers;
  std::string errors;
  UsersDialog dialog(
      dir().File("users"), nullptr,
      [&](QWidget*, const QString&, bool) -> std::optional<QString> {
        if (answers.empty()) return std::nullopt;
        QString next = answers.front();
        answers.erase(answers.begin());
        return next;
      },
      [&](QWidget*, const QString&, const QString& text) { errors += text.toStdString() + "\n"; });
  auto names = [&] {
    std::string shown;
    for (int i = 0; i < dialog.list()->count(); ++i) shown += dialog.list()->item(i)->text().toStdString() + " ";
    return shown;
  };
  for (auto add : {std::vector<QString>{"printer", "pw one", "pw one"}, {"laptop", "a", "b"}, {"bad name", "x", "x"},
                   {"laptop", "pw two", "pw two"}, {"cancelled"}}) {
    answers = add;
    dialog.Add();
  }
  EXPECT_EQ(names(), "printer laptop ");
  EXPECT_EQ(errors.substr(0, errors.find('\n')), "Nothing changed: the two passwords differ.");
  EXPECT_NE(errors.find("Nothing changed: a name is printable"), std::string::npos) << errors;
  EXPECT_EQ(dir().Read("users").find("pw "), std::string::npos);
  dialog.list()->setCurrentRow(0);
  dialog.Remove();
  EXPECT_EQ(names(), "laptop ");
  EXPECT_EQ(dir().Read("users").rfind("laptop:$y$", 0), 0u);
}

TEST_F(DialogsTest, AboutDialogShowsTheVersionAndOurCredits) {
  AboutDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), "About");
  EXPECT_EQ(dialog.ControlAs<QLabel>(1034)->text(), "Version : 0.2");
  EXPECT_EQ(dialog.ControlAs<QLabel>(1050)->text().toStdString(), "TLS : " + TlsLibraryVersion());
  EXPECT_EQ(dialog.ControlAs<QLabel>(1050)->text().left(14), "TLS : OpenSSL ");
  for (auto [id, text] : {std::pair{1022, "E-mail"}, std::pair{1023, "Website"}, std::pair{1024, "Forums"}}) {
    EXPECT_EQ(dialog.ControlAs<QPushButton>(id)->text(), text);
  }
  bool credits = false;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    if (label->text().startsWith("Developpers :")) credits = !label->text().contains("%credits%");
  }
  EXPECT_TRUE(credits);
  EXPECT_FALSE(dialog.ControlAs<QLabel>(145)->pixmap().isNull()) << "the logo";
  EXPECT_EQ(dialog.ControlAs<QLabel>(145)->pixmap().size(), QSize(236, 67));
}

}  // namespace
}  // namespace vellomar
