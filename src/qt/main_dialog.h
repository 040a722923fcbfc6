#pragma once

#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <string>

#include "qt/template_dialog.h"

namespace vellomar {

class MainWindow;
class QtControls;
class WaitingDialog;

// The main window (dialog 102 with menu 138) of the Qt face. Every way out (Exit, the tray's
// Exit, the close box, Escape, Enter, a signal, logging out) ends the program through one
// Shutdown. Minimizing hides the window when a tray icon can bring it back.
class MainDialog : public TemplateDialog {
 public:
  MainDialog();

  // Connects the controls and the menu to the controller, once both exist.
  void Attach(MainWindow& core, QtControls& controls);
  QMenuBar* menu() const { return menu_; }

  // The commands of the window menu and the tray menu.
  void ModesCommand();
  void SettingsCommand();
  // The Accounts dialog; each change it stores is in use at once.
  void AccountsCommand();
  void AboutCommand();
  void WaitingCommand();
  void DeliverNowCommand();
  // The relay says the sign-in kept under `account` must be made again: a box offers "Sign
  // in...", which signs in through the browser (one box at a time).
  void OfferSignIn(const std::string& account, const std::string& text);
  void SignInCommand(const std::string& account);
  QMessageBox* signInBox() const { return signInBox_; }
  // The waiting e-mails view, made when first asked for.
  WaitingDialog* waitingDialog() const { return waiting_; }
  void Display();
  void EndProgram();
  bool ended() const { return ended_; }

  void accept() override { EndProgram(); }
  void reject() override { EndProgram(); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void BuildMenu();

  QMenuBar* menu_;
  MainWindow* core_ = nullptr;
  QtControls* controls_ = nullptr;
  bool ended_ = false;
  WaitingDialog* waiting_ = nullptr;
  QPointer<QMessageBox> signInBox_;
};

}  // namespace vellomar
