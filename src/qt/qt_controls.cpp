#include "qt/qt_controls.h"

#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>

#include "qt/desktop_notifications.h"
#include "qt/dialogs.h"
#include "qt/main_dialog.h"

namespace vellomar {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

QIcon Bitmap(int id) { return QIcon(QString(":/images/bitmap%1.png").arg(id)); }

}  // namespace

QtControls::QtControls(MainDialog& dialog) : dialog_(dialog) {}

QtControls::~QtControls() { RemoveTrayIcon(); }

// The lists are changed here only by a refresh, which holds a registry lock: their signals are
// blocked, so the selection handlers (which take that lock) run for the user's clicks alone.
int QtControls::ListCount(int listId) { return dialog_.ControlAs<QListWidget>(listId)->count(); }

std::string QtControls::ListItem(int listId, int index) {
  QListWidgetItem* item = dialog_.ControlAs<QListWidget>(listId)->item(index);
  return item == nullptr ? std::string() : item->text().toStdString();
}

int QtControls::ListSelection(int listId) {
  auto* list = dialog_.ControlAs<QListWidget>(listId);
  QList<QListWidgetItem*> selected = list->selectedItems();
  return selected.isEmpty() ? -1 : list->row(selected.front());
}

void QtControls::ListSelect(int listId, int index) {
  auto* list = dialog_.ControlAs<QListWidget>(listId);
  QSignalBlocker blocker(list);
  if (index < 0) {
    list->clearSelection();
  } else {
    list->setCurrentRow(index);
  }
}

void QtControls::ListClear(int listId) {
  auto* list = dialog_.ControlAs<QListWidget>(listId);
  QSignalBlocker blocker(list);
  list->clear();
}

void QtControls::ListAppend(int listId, const std::string& text) {
  auto* list = dialog_.ControlAs<QListWidget>(listId);
  QSignalBlocker blocker(list);
  list->addItem(Q(text));
}

void QtControls::SetText(int id, const std::string& text) {
  if (auto* label = dialog_.ControlAs<QLabel>(id)) label->setText(Q(text).remove('\r'));
}

std::string QtControls::Text(int id) {
  auto* label = dialog_.ControlAs<QLabel>(id);
  return label == nullptr ? std::string() : label->text().toStdString();
}

void QtControls::AppendNotification(const std::string& text, const std::string&) {
  auto* box = dialog_.ControlAs<QPlainTextEdit>(1006);
  box->moveCursor(QTextCursor::End);
  box->insertPlainText(Q(text).remove('\r'));
  box->moveCursor(QTextCursor::End);
  box->ensureCursorVisible();
}

void QtControls::ShowMessage(const std::string& text, const std::string& caption) {
  QMessageBox::information(dialog_.isVisible() ? &dialog_ : nullptr, Q(caption), Q(text), QMessageBox::Ok);
}

void QtControls::ShowSystemError(const std::string& text) {
  QMessageBox::critical(nullptr, "Vellomar", Q(text), QMessageBox::Ok);
}

void QtControls::SetButtonBitmap(int buttonId, int bitmapId) {
  auto* button = dialog_.ControlAs<QPushButton>(buttonId);
  button->setIcon(Bitmap(bitmapId));
  button->setProperty("bitmap", bitmapId);
}

int QtControls::ButtonBitmap(int buttonId) {
  return dialog_.ControlAs<QPushButton>(buttonId)->property("bitmap").toInt();
}

void QtControls::SetWindowVisible(bool visible) {
  if (visible) {
    dialog_.Display();
  } else if (CanHideWindow()) {
    dialog_.hide();
  }
}

bool QtControls::WindowVisible() { return dialog_.isVisible(); }

bool QtControls::RunModesDialog() {
  ModesDialog dialog;
  return dialog.exec() == QDialog::Accepted;
}

bool QtControls::CanHideWindow() {
  return trayAvailable_.value_or(tray_ != nullptr && QSystemTrayIcon::isSystemTrayAvailable());
}

void QtControls::AddTrayIcon() {
  trayMenu_ = std::make_unique<QMenu>();
  trayMenu_->addAction("Display", [this] { dialog_.Display(); });
  trayMenu_->addAction("Waiting e-mails...", [this] { dialog_.WaitingCommand(); });
  trayMenu_->addAction("Deliver now", [this] { dialog_.DeliverNowCommand(); });
  trayMenu_->addSeparator();
  trayMenu_->addAction("Modes...", [this] { dialog_.ModesCommand(); });
  trayMenu_->addAction("Settings...", [this] { dialog_.SettingsCommand(); });
  trayMenu_->addAction("Accounts...", [this] { dialog_.AccountsCommand(); });
  trayMenu_->addSeparator();
  trayMenu_->addAction("About Vellomar...", [this] { dialog_.AboutCommand(); });
  trayMenu_->addSeparator();
  trayMenu_->addAction("Exit", [this] { dialog_.EndProgram(); });
  tray_ = std::make_unique<QSystemTrayIcon>(QIcon(":/images/icon128.png"));
  tray_->setToolTip("Vellomar");
  tray_->setContextMenu(trayMenu_.get());
  QObject::connect(tray_.get(), &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) dialog_.Display();
  });
  tray_->show();
  notifications_ = std::make_unique<DesktopNotifications>(
      *tray_, [this](const std::string& signIn) { dialog_.SignInCommand(signIn); }, [this] { dialog_.Display(); });
}

bool QtControls::CanNotify() { return notifications_ != nullptr && CanHideWindow(); }

void QtControls::Notify(const std::string& title, const std::string& body, const std::string& signIn) {
  if (CanNotify()) notifications_->Show(Q(title), Q(body), signIn);
}

void QtControls::OfferSignIn(const std::string& account, const std::string& text) { dialog_.OfferSignIn(account, text); }

void QtControls::RemoveTrayIcon() {
  notifications_.reset();
  if (tray_) tray_->hide();
  tray_.reset();
  trayMenu_.reset();
}

}  // namespace vellomar
