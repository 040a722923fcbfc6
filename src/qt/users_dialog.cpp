#include "qt/users_dialog.h"

#include <QHBoxLayout>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/app_directory.h"
#include "common/system_error.h"
#include "common/user_file.h"
#include "platform/crypto.h"

namespace vellomar {

namespace {

std::optional<QString> AskWithABox(QWidget* parent, const QString& label, bool secret) {
  bool ok = false;
  QString text = QInputDialog::getText(parent, "Users", label, secret ? QLineEdit::Password : QLineEdit::Normal, {}, &ok);
  if (!ok) return std::nullopt;
  return text;
}

}  // namespace

std::string UsersFilePath() { return GetAppDirectory() + "/" + kUsersFileName; }

UsersDialog::UsersDialog(std::string usersFile, QWidget* parent, Ask ask, ErrorBox errorBox)
    : QDialog(parent),
      usersFile_(std::move(usersFile)),
      ask_(ask ? std::move(ask) : AskWithABox),
      errorBox_(std::move(errorBox)),
      list_(new QListWidget(this)) {
  setWindowTitle("Users who may log in");
  auto* add = new QPushButton("Add...", this);
  auto* remove = new QPushButton("Remove", this);
  auto* close = new QPushButton("Close", this);
  connect(add, &QPushButton::clicked, this, &UsersDialog::Add);
  connect(remove, &QPushButton::clicked, this, &UsersDialog::Remove);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  auto* buttons = new QHBoxLayout;
  for (QPushButton* button : {add, remove, close}) buttons->addWidget(button);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_);
  layout->addLayout(buttons);
  Reload();
}

void UsersDialog::Reload() {
  list_->clear();
  auto users = ReadUsers(usersFile_);
  if (!users) {
    errorBox_(this, "Users", QString::fromStdString("Cannot read " + usersFile_ + ": " + SystemErrorText(users.failure())));
    return;
  }
  for (const UserEntry& user : users.value()) list_->addItem(QString::fromStdString(user.name));
}

// A new user, or a new password for one: the name, then the password twice.
void UsersDialog::Add() {
  std::optional<QString> name = ask_(this, "User name:", false);
  if (!name || name->isEmpty()) return;
  std::optional<QString> first = ask_(this, "Password for " + *name + ":", true);
  if (!first) return;
  std::optional<QString> second = ask_(this, "The same password again:", true);
  if (!second) return;
  std::string password = first->toStdString();
  Status set = *first != *second ? FailWith(EDOM) : SetUserPassword(usersFile_, name->toStdString(), password);
  Wipe(password);
  if (!set) {
    std::string why = set.error() == EDOM     ? "the two passwords differ"
                      : set.error() == EINVAL ? "a name is printable without blanks, ':', quotes, brackets or "
                                                "backslashes, and a password is 1 to 1024 characters"
                                              : SystemErrorText(set.failure());
    errorBox_(this, "Users", QString::fromStdString("Nothing changed: " + why + "."));
  }
  Reload();
}

void UsersDialog::Remove() {
  QListWidgetItem* chosen = list_->currentItem();
  if (chosen == nullptr) return;
  Status removed = RemoveUser(usersFile_, chosen->text().toStdString());
  if (!removed) errorBox_(this, "Users", QString::fromStdString("Nothing changed: " + SystemErrorText(removed.failure())));
  Reload();
}

}  // namespace vellomar
