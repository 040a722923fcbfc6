#include "qt/dialogs.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>

#include "platform/tls_stream.h"
#include "qt/about_info.h"
#include "qt/users_dialog.h"

namespace vellomar {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

void ConnectStandardButtons(TemplateDialog& dialog) {
  if (auto* ok = dialog.ControlAs<QPushButton>(1)) QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
  if (auto* cancel = dialog.ControlAs<QPushButton>(2)) {
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
  }
}

void OpenOnClick(TemplateDialog& dialog, int id, const char* address) {
  if (auto* button = dialog.ControlAs<QPushButton>(id)) {
    QObject::connect(button, &QPushButton::clicked, [address] { QDesktopServices::openUrl(QUrl(address)); });
  }
}

}  // namespace

void ShowErrorBox(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox::critical(parent, caption, text, QMessageBox::Ok);
}

ModesDialog::ModesDialog(QWidget* parent, ErrorBox errorBox) : TemplateDialog(137, parent), errorBox_(std::move(errorBox)) {
  ConnectStandardButtons(*this);
  ModesFields fields = LoadModesFields();
  ControlAs<QLineEdit>(1020)->setText(Q(fields.smtp));
  ControlAs<QLineEdit>(1021)->setText(Q(fields.dns));
  ControlAs<QLineEdit>(1033)->setText(Q(fields.alternate));
  ControlAs<QRadioButton>(fields.trueRelaying ? 1019 : 1018)->setChecked(true);
}

ModesFields ModesDialog::Fields() const {
  ModesFields fields;
  fields.smtp = ControlAs<QLineEdit>(1020)->text().toStdString();
  fields.dns = ControlAs<QLineEdit>(1021)->text().toStdString();
  fields.alternate = ControlAs<QLineEdit>(1033)->text().toStdString();
  fields.trueRelaying = ControlAs<QRadioButton>(1019)->isChecked();
  return fields;
}

void ModesDialog::accept() {
  ModesFields fields = Fields();
  if (auto error = CheckModesFields(fields)) {
    errorBox_(this, Q(error->caption), Q(error->text));
    return;
  }
  StoreModesFields(fields);
  QDialog::accept();
}

SettingsDialog::SettingsDialog(QWidget* parent) : TemplateDialog(147, parent) {
  ConnectStandardButtons(*this);
  SettingsFields fields = LoadSettingsFields();
  ControlAs<QCheckBox>(1031)->setChecked(fields.minimize);
  ControlAs<QCheckBox>(1032)->setChecked(fields.autostart);
  ControlAs<QLineEdit>(1035)->setText(Q(fields.logSize));
  ControlAs<QLineEdit>(1036)->setText(Q(fields.input));
  ControlAs<QLineEdit>(1037)->setText(Q(fields.output));
  ControlAs<QCheckBox>(1038)->setChecked(fields.writeRecipients);
  ControlAs<QCheckBox>(1039)->setChecked(fields.warnTotal);
  ControlAs<QCheckBox>(1040)->setChecked(fields.warnTemporary);
  ControlAs<QLineEdit>(1042)->setText(Q(fields.allow));
  ControlAs<QLineEdit>(1043)->setText(Q(fields.ports));
  ControlAs<QLineEdit>(1044)->setText(Q(fields.certificate));
  ControlAs<QLineEdit>(1045)->setText(Q(fields.key));
  ControlAs<QLineEdit>(1046)->setText(Q(fields.minVersion));
  ControlAs<QCheckBox>(1047)->setChecked(fields.authInClear);
  ControlAs<QCheckBox>(1048)->setChecked(fields.requireAuth);
  ControlAs<QLineEdit>(1049)->setText(Q(fields.maxSize));
  QObject::connect(ControlAs<QPushButton>(1051), &QPushButton::clicked, this, [this] {
    UsersDialog users(UsersFilePath(), this);
    users.exec();
  });
}

SettingsFields SettingsDialog::Fields() const {
  SettingsFields fields;
  fields.minimize = ControlAs<QCheckBox>(1031)->isChecked();
  fields.autostart = ControlAs<QCheckBox>(1032)->isChecked();
  fields.logSize = ControlAs<QLineEdit>(1035)->text().toStdString();
  fields.input = ControlAs<QLineEdit>(1036)->text().toStdString();
  fields.output = ControlAs<QLineEdit>(1037)->text().toStdString();
  fields.writeRecipients = ControlAs<QCheckBox>(1038)->isChecked();
  fields.warnTotal = ControlAs<QCheckBox>(1039)->isChecked();
  fields.warnTemporary = ControlAs<QCheckBox>(1040)->isChecked();
  fields.allow = ControlAs<QLineEdit>(1042)->text().toStdString();
  fields.ports = ControlAs<QLineEdit>(1043)->text().toStdString();
  fields.certificate = ControlAs<QLineEdit>(1044)->text().toStdString();
  fields.key = ControlAs<QLineEdit>(1045)->text().toStdString();
  fields.minVersion = ControlAs<QLineEdit>(1046)->text().toStdString();
  fields.authInClear = ControlAs<QCheckBox>(1047)->isChecked();
  fields.requireAuth = ControlAs<QCheckBox>(1048)->isChecked();
  fields.maxSize = ControlAs<QLineEdit>(1049)->text().toStdString();
  return fields;
}

void SettingsDialog::accept() {
  StoreSettingsFields(Fields());
  QDialog::accept();
}

AboutDialog::AboutDialog(QWidget* parent, const std::string& fingerprint) : TemplateDialog(143, parent) {
  ConnectStandardButtons(*this);
  ControlAs<QLabel>(1034)->setText(QString("Version : %1").arg(kVersion));
  auto* tls = ControlAs<QLabel>(1050);
  tls->setText(QString("TLS : %1").arg(QString::fromStdString(TlsLibraryVersion())));
  if (!fingerprint.empty()) {
    // Selectable, to be copied into a client's pin; its 32 pairs in two lines of 16, which
    // fit the dialog's width (a label breaks nowhere else).
    QString pairs = QString::fromStdString(fingerprint);
    if (pairs.size() > 48) pairs.insert(48, '\n');
    tls->setText(tls->text() + "\nListener certificate SHA-256:\n" + pairs);
    tls->setTextInteractionFlags(Qt::TextSelectableByMouse);
    tls->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    tls->resize(tls->width(), tls->fontMetrics().lineSpacing() * 4 + 2);
  }
  OpenOnClick(*this, 1022, kMailAddress);
  OpenOnClick(*this, 1023, kWebsite);
  OpenOnClick(*this, 1024, kForums);
}

}  // namespace vellomar
