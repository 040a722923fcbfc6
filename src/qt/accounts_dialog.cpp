#include "qt/accounts_dialog.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

#include "control/account_store.h"
#include "control/main_window.h"

namespace vellomar {

namespace {

constexpr int kList = 1090, kAdd = 1091, kEdit = 1092, kRemove = 1093;

QString Q(const std::string& text) { return QString::fromStdString(text); }

bool RunModally(SecurityDialog& dialog) { return dialog.exec() == QDialog::Accepted; }

bool AskWithABox(QWidget* parent, const QString& question) {
  return QMessageBox::question(parent, "Accounts", question) == QMessageBox::Yes;
}

}  // namespace

AccountsDialog::AccountsDialog(QWidget* parent, MainWindow* core, RunAccount run, Confirm confirm)
    : TemplateDialog(152, parent),
      core_(core),
      run_(run ? std::move(run) : RunModally),
      confirm_(confirm ? std::move(confirm) : AskWithABox) {
  connect(ControlAs<QPushButton>(kAdd), &QPushButton::clicked, this, &AccountsDialog::Add);
  connect(ControlAs<QPushButton>(kEdit), &QPushButton::clicked, this, &AccountsDialog::Edit);
  connect(ControlAs<QPushButton>(kRemove), &QPushButton::clicked, this, &AccountsDialog::Remove);
  connect(ControlAs<QPushButton>(1), &QPushButton::clicked, this, &QDialog::accept);
  connect(list(), &QTreeWidget::itemSelectionChanged, this, &AccountsDialog::EnableButtons);
  connect(list(), &QTreeWidget::itemDoubleClicked, this, &AccountsDialog::Edit);
  Reload(kDefaultAccountName);
}

QTreeWidget* AccountsDialog::list() const { return ControlAs<QTreeWidget>(kList); }

void AccountsDialog::Reload(const std::string& selected) {
  list()->clear();
  for (const AccountSummary& account : ReadAccountSummaries()) {
    const bool isDefault = account.name == kDefaultAccountName;
    auto* item = new QTreeWidgetItem(list(), QStringList{Q(account.name), Q(account.nextRelay), Q(account.user),
                                                         isDefault ? "every other sender" : Q(account.senders)});
    if (account.name == selected) list()->setCurrentItem(item);
  }
  for (int column = 0; column < list()->columnCount() - 1; ++column) list()->resizeColumnToContents(column);
  EnableButtons();
}

std::string AccountsDialog::SelectedName() const {
  QTreeWidgetItem* item = list()->currentItem();
  return item != nullptr && item->isSelected() ? item->text(0).toStdString() : std::string();
}

void AccountsDialog::EnableButtons() {
  const std::string name = SelectedName();
  Control(kEdit)->setEnabled(!name.empty());
  Control(kRemove)->setEnabled(!name.empty() && name != kDefaultAccountName);
}

// Stored values are put in use before the list shows them, as a confirmed dialog always did.
void AccountsDialog::Changed(const std::string& selected) {
  if (core_ != nullptr) core_->ReloadRelaySettings();
  Reload(selected);
}

void AccountsDialog::Add() {
  SecurityDialog dialog(this, core_, OpenInBrowser, EditedAccount{EditedAccount::Kind::New, ""});
  if (run_(dialog)) Changed(dialog.AccountName());
}

void AccountsDialog::Edit() {
  const std::string name = SelectedName();
  if (name.empty()) return;
  EditedAccount account{name == kDefaultAccountName ? EditedAccount::Kind::Default : EditedAccount::Kind::Stored, name};
  SecurityDialog dialog(this, core_, OpenInBrowser, account);
  if (run_(dialog)) Changed(name);
}

void AccountsDialog::Remove() {
  const std::string name = SelectedName();
  if (name.empty() || name == kDefaultAccountName) return;
  const QString question = Q("Remove the account " + name +
                             " and its login? Its senders' mail then goes through the other accounts.");
  if (!confirm_(this, question)) return;
  RemoveAccount(name);
  Changed(kDefaultAccountName);
}

}  // namespace vellomar
