#include "qt/waiting_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <ctime>

#include "control/main_window.h"
#include "control/waiting_rows.h"

namespace vellomar {

namespace {

const QStringList kColumns{"File", "Age", "Sender", "Account", "Subject", "Recipients", "Next try", "Last error"};

QString Text(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

WaitingDialog::WaitingDialog(MainWindow& core, QWidget* parent)
    : QDialog(parent), core_(core), list_(new QTreeWidget(this)) {
  setWindowTitle("Waiting e-mails");
  resize(760, 320);
  list_->setHeaderLabels(kColumns);
  list_->setRootIsDecorated(false);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  auto* buttons = new QDialogButtonBox(this);
  connect(buttons->addButton("Deliver now", QDialogButtonBox::ActionRole), &QPushButton::clicked, this,
          [this] { DeliverSelectedNow(); });
  connect(buttons->addButton("Delete...", QDialogButtonBox::ActionRole), &QPushButton::clicked, this,
          [this] { DeleteSelected(); });
  connect(buttons->addButton("Refresh", QDialogButtonBox::ActionRole), &QPushButton::clicked, this,
          [this] { Refresh(); });
  connect(buttons->addButton(QDialogButtonBox::Close), &QPushButton::clicked, this, [this] { hide(); });
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_);
  layout->addWidget(buttons);
  confirm_ = [this](const QString& question) {
    return QMessageBox::question(this, "Vellomar", question) == QMessageBox::Yes;
  };
  inform_ = [this](const QString& text) { QMessageBox::information(this, "Vellomar", text); };
}

void WaitingDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  Refresh();
}

void WaitingDialog::Refresh() {
  std::string selected = SelectedName();
  list_->clear();
  shown_.clear();
  std::shared_ptr<const Settings> settings = core_.relay().settings();
  for (const WaitingRow& row : ReadWaitingRows(core_.relay().queue, std::time(nullptr), *settings)) {
    shown_[row.message.name] = row.message.identity;
    auto* item = new QTreeWidgetItem(list_, QStringList{Text(row.message.name), Text(row.age), Text(row.message.sender),
                                                        Text(row.account), Text(row.message.subject),
                                                        Text(row.recipients), Text(row.nextTry), Text(row.lastError)});
    if (row.message.name == selected) item->setSelected(true);
  }
  for (int column = 0; column < list_->columnCount() - 1; ++column) list_->resizeColumnToContents(column);
}

std::string WaitingDialog::SelectedName() const {
  QList<QTreeWidgetItem*> selected = list_->selectedItems();
  return selected.isEmpty() ? std::string() : selected.front()->text(0).toStdString();
}

void WaitingDialog::DeliverSelectedNow() {
  std::string name = SelectedName();
  if (name.empty()) return;
  core_.DeliverWaitingNow(name);
  Refresh();
}

void WaitingDialog::DeleteSelected() {
  QList<QTreeWidgetItem*> selected = list_->selectedItems();
  if (selected.isEmpty()) return;
  const QTreeWidgetItem* item = selected.front();
  // Copied before asking: the question's event loop may refresh the list (Deliver now from the
  // tray menu), which deletes its rows.
  const QString name = item->text(0);
  const FileIdentity shown = shown_[name.toStdString()];
  QString question = "Delete the waiting e-mail " + name + " from " + item->text(2) + " (" + item->text(4) +
                     ")? It will not be delivered.";
  if (!confirm_(question)) return;
  if (core_.DeleteWaiting(name.toStdString(), shown) == QueueList::Deletion::Gone) {
    inform_("The waiting e-mail " + name +
            " has gone since it was shown: delivered, deleted, or replaced by a newer one. Nothing was deleted.");
  }
  Refresh();
}

}  // namespace vellomar
