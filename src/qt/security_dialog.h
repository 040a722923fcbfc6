#pragma once

#include <QString>
#include <functional>
#include <string>

#include "control/registry_key.h"
#include "control/security_fields.h"
#include "qt/dialogs.h"
#include "qt/template_dialog.h"

namespace vellomar {

class MainWindow;

// Opens an address in the person's browser; tests put a browser of their own in its place.
using UrlOpener = std::function<void(const QString& address)>;
void OpenInBrowser(const QString& address);

// Which account a dialog edits: the default one (the main key), a stored one by its name, or a
// new one whose name is typed in.
struct EditedAccount {
  enum class Kind { Default, Stored, New };
  Kind kind = Kind::Default;
  std::string name;
};

// The account dialog (151): one account's next relay or Microsoft Graph, the senders it takes and the address it
// sends as, its pace, how the next relay is reached, the login, the certificate fingerprint,
// and the sign-in whose tokens log in ("Sign in with..."); TLS toward exchangers for the
// default account alone. Loaded from the store when it opens (a new account starts empty),
// stored on OK once the name (new accounts) and the next relay (other than the default
// account) are usable; the caller puts the values in use. The password and the client secret
// are shown as dots. With the window's core, "Sign in..." signs in through the browser with
// the values as typed, the account's user the mailbox, the relay keeping the sign-in; choosing
// a provider suggests its next relay while none is typed in.
class SecurityDialog : public TemplateDialog {
 public:
  explicit SecurityDialog(QWidget* parent = nullptr, MainWindow* core = nullptr, UrlOpener open = OpenInBrowser,
                          EditedAccount account = {}, ErrorBox errorBox = ShowErrorBox);
  SecurityFields Fields() const;
  void accept() override;
  // The account's name: as typed for a new one until it is stored.
  std::string AccountName() const;
  void SetErrorBox(ErrorBox errorBox) { errorBox_ = std::move(errorBox); }

 private:
  RegistryKey Key() const;
  void LoadAccount(const SecurityFields& fields);
  // Why the values cannot be stored, or "".
  std::string Problem() const;
  void LoadSignIn(const SecurityFields& fields);
  void LoadTransport(const SecurityFields& fields);
  bool ThroughGraph() const;
  // Greys out what Graph does not use and shows its own fields.
  void ShowTransport();
  std::string GraphProblem(const SecurityFields& fields) const;
  OAuthSettings SignInFields() const;
  std::string ChosenProvider() const;
  // Which sign-in fields apply to the chosen provider, and the next relay it suggests.
  void ShowSignInChoice();
  // Shows and enables a sign-in field and its label, or hides them.
  void ShowField(int id, bool used);
  void SignIn();
  void SayAboutSignIn(const std::string& text);

  MainWindow* core_;
  UrlOpener open_;
  EditedAccount account_;
  ErrorBox errorBox_;
};

}  // namespace vellomar
