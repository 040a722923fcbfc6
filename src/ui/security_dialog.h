#pragma once

#include <QString>
#include <functional>
#include <string>

#include "control/security_fields.h"
#include "ui/template_dialog.h"

namespace vellomar {

class MainWindow;

// Opens an address in the person's browser; tests put a browser of their own in its place.
using UrlOpener = std::function<void(const QString& address)>;
void OpenInBrowser(const QString& address);

// The Next relay security dialog (151): how the next relay is reached, the login, the
// certificate fingerprint, TLS toward exchangers, and the sign-in whose tokens log in
// ("Sign in with..."); loaded from the store when it opens, stored and put in use on OK. The
// password and the client secret are shown as dots. With the window's core, "Sign in..." signs
// in through the browser with the values as typed, the relay keeping the sign-in; choosing a
// provider suggests its next relay when none is set.
class SecurityDialog : public TemplateDialog {
 public:
  explicit SecurityDialog(QWidget* parent = nullptr, MainWindow* core = nullptr, UrlOpener open = OpenInBrowser);
  SecurityFields Fields() const;
  void accept() override;

 private:
  void LoadSignIn(const SecurityFields& fields);
  OAuthSettings SignInFields() const;
  std::string ChosenProvider() const;
  // Which sign-in fields apply to the chosen provider, and the next relay it suggests.
  void ShowSignInChoice();
  void SignIn();
  void SayAboutSignIn(const std::string& text);

  MainWindow* core_;
  UrlOpener open_;
  // SMTP as stored when the dialog opened.
  std::string storedServer_;
};

}  // namespace vellomar
