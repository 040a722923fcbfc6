#include "qt/main_dialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QListWidget>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include "control/browser_sign_in.h"
#include "control/control_ids.h"
#include "control/main_window.h"
#include "control/settings_loading.h"
#include "qt/accounts_dialog.h"
#include "qt/dialogs.h"
#include "qt/qt_controls.h"
#include "qt/waiting_dialog.h"

namespace vellomar {

MainDialog::MainDialog() : TemplateDialog(102), menu_(new QMenuBar(this)) {
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  BuildMenu();
  menu_->adjustSize();
  menu_->setGeometry(0, 0, width(), menu_->sizeHint().height());
  ReserveMenuHeight(menu_->height());
}

void MainDialog::BuildMenu() {
  QMenu* file = menu_->addMenu("&File");
  file->addAction("&Exit", [this] { EndProgram(); });
  QMenu* options = menu_->addMenu("&Options");
  options->addAction("&Modes...", [this] { ModesCommand(); });
  options->addAction("&Settings...", [this] { SettingsCommand(); });
  options->addAction("&Accounts...", [this] { AccountsCommand(); });
  QMenu* queue = menu_->addMenu("&Queue");
  queue->addAction("&Waiting e-mails...", [this] { WaitingCommand(); });
  queue->addAction("Deliver &now", [this] { DeliverNowCommand(); });
  QMenu* help = menu_->addMenu("?");
  help->addAction("About", [this] { AboutCommand(); });
}

void MainDialog::Attach(MainWindow& core, QtControls& controls) {
  core_ = &core;
  controls_ = &controls;
  connect(ControlAs<QListWidget>(kIncomingList), &QListWidget::itemSelectionChanged, this,
          [this] { core_->ShowIncomingInfo(); });
  connect(ControlAs<QListWidget>(kOutgoingList), &QListWidget::itemSelectionChanged, this,
          [this] { core_->ShowOutgoingInfo(); });
  connect(ControlAs<QPushButton>(kServerStateButton), &QPushButton::clicked, this, [this] { core_->ToggleServer(); });
  connect(ControlAs<QPushButton>(kClientStateButton), &QPushButton::clicked, this, [this] { core_->ToggleClient(); });
  connect(ControlAs<QPushButton>(kFlushButton), &QPushButton::clicked, this, [this] { core_->FlushQueue(); });
}

void MainDialog::ModesCommand() {
  ModesDialog dialog(isVisible() ? this : nullptr);
  if (dialog.exec() == QDialog::Accepted && core_ != nullptr) core_->ReloadRelaySettings();
}

void MainDialog::SettingsCommand() {
  SettingsDialog dialog(isVisible() ? this : nullptr);
  dialog.exec();
}

void MainDialog::AccountsCommand() {
  AccountsDialog dialog(isVisible() ? this : nullptr, core_);
  dialog.exec();
}

void MainDialog::AboutCommand() {
  AboutDialog dialog(isVisible() ? this : nullptr,
                     core_ != nullptr ? core_->relay().listenerFingerprint.Get() : std::string());
  dialog.exec();
}

void MainDialog::WaitingCommand() {
  if (core_ == nullptr) return;
  if (waiting_ == nullptr) waiting_ = new WaitingDialog(*core_, this);
  waiting_->show();
  waiting_->raise();
  waiting_->activateWindow();
}

void MainDialog::DeliverNowCommand() {
  if (core_ == nullptr) return;
  core_->DeliverNow();
  if (waiting_ != nullptr && waiting_->isVisible()) waiting_->Refresh();
}

void MainDialog::OfferSignIn(const std::string& account, const std::string& text) {
  if (signInBox_ != nullptr) return;
  signInBox_ = new QMessageBox(QMessageBox::Warning, "Vellomar",
                               QString::fromStdString(text + ".\nMail to the next relay waits until you sign in again."),
                               QMessageBox::NoButton, isVisible() ? this : nullptr);
  signInBox_->setAttribute(Qt::WA_DeleteOnClose);
  QPushButton* signIn = signInBox_->addButton("Sign in...", QMessageBox::AcceptRole);
  signInBox_->addButton("Later", QMessageBox::RejectRole);
  connect(signIn, &QPushButton::clicked, this, [this, account] { SignInCommand(account); });
  signInBox_->show();
}

// Signs in again to the sign-in the relay keeps under `account` (the settings' own when it
// has none yet); what came of it shows in a box that nobody waits for.
void MainDialog::SignInCommand(const std::string& account) {
  if (core_ == nullptr) return;
  Relay& relay = core_->relay();
  SignInValues values = relay.delivery().signIns.ValuesOf(account).value_or(NextRelaySignIn(*relay.settings()));
  QPointer<MainDialog> self(this);
  auto tell = [self](const std::string& text) {
    auto* box = new QMessageBox(QMessageBox::Information, "Vellomar", QString::fromStdString(text), QMessageBox::Ok,
                                self != nullptr && self->isVisible() ? self.data() : nullptr);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
  };
  BrowserSignInStart started = StartBrowserSignIn(*core_, values, [tell](bool, const std::string& text) { tell(text); });
  if (!started.problem.empty()) return tell("Can't sign in: " + started.problem);
  OpenInBrowser(QString::fromStdString(started.address));
}

void MainDialog::Display() {
  showNormal();
  raise();
  activateWindow();
}

void MainDialog::EndProgram() {
  if (ended_) return;
  ended_ = true;
  if (core_ != nullptr) core_->Shutdown();
  hide();
  // Only a running event loop has anything to end.
  if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::quit();
}

void MainDialog::closeEvent(QCloseEvent* event) {
  event->ignore();
  EndProgram();
}

void MainDialog::changeEvent(QEvent* event) {
  TemplateDialog::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !isMinimized()) return;
  if (controls_ == nullptr || !controls_->CanHideWindow()) return;
  // Minimizing hides the window altogether; only the tray icon brings it back.
  QTimer::singleShot(0, this, [this] {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    hide();
  });
}

}  // namespace vellomar
