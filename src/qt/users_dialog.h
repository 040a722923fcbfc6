#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <optional>
#include <string>

#include "qt/dialogs.h"

class QListWidget;

namespace vellomar {

// The users file of the program's folder, as the command line's --add-user finds it.
std::string UsersFilePath();

// The users who may log in on the listener, opened by the Settings dialog's "Users...": their
// names, a user added (or given a new password) with the password asked twice, a user removed.
// Each change is written at once; a running relay reads the file at each login. Lives on the
// window's thread.
class UsersDialog : public QDialog {
 public:
  // Asks for one text (hidden when `secret`); nothing when cancelled. Tests answer in its place.
  using Ask = std::function<std::optional<QString>(QWidget* parent, const QString& label, bool secret)>;

  UsersDialog(std::string usersFile, QWidget* parent = nullptr, Ask ask = {}, ErrorBox errorBox = ShowErrorBox);

  QListWidget* list() const { return list_; }
  void Add();
  void Remove();

 private:
  void Reload();

  std::string usersFile_;
  Ask ask_;
  ErrorBox errorBox_;
  QListWidget* list_;
};

}  // namespace vellomar
