#include "ui/security_dialog.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "common/text.h"

namespace vellomar {

namespace {

// The radio buttons in their order, with the SMTP_TLS text each stands for.
struct TlsChoice {
  int id;
  const char* text;
};
constexpr TlsChoice kTlsChoices[] = {{1060, ""}, {1061, "none"}, {1062, "may"}, {1063, "starttls"}, {1064, "tls"}};

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

SecurityDialog::SecurityDialog(QWidget* parent) : TemplateDialog(151, parent) {
  QObject::connect(ControlAs<QPushButton>(1), &QPushButton::clicked, this, &QDialog::accept);
  QObject::connect(ControlAs<QPushButton>(2), &QPushButton::clicked, this, &QDialog::reject);
  SecurityFields fields = LoadSecurityFields();
  int checked = 1063;  // a value this version does not know asks for STARTTLS
  for (const TlsChoice& choice : kTlsChoices) {
    if (EqualsIgnoreCase(fields.tls, choice.text)) checked = choice.id;
  }
  ControlAs<QRadioButton>(checked)->setChecked(true);
  ControlAs<QLineEdit>(1065)->setText(Q(fields.user));
  ControlAs<QLineEdit>(1066)->setEchoMode(QLineEdit::Password);
  ControlAs<QLineEdit>(1066)->setText(Q(fields.password));
  ControlAs<QLineEdit>(1067)->setText(Q(fields.passwordCommand));
  ControlAs<QCheckBox>(1068)->setChecked(fields.xoauth2);
  ControlAs<QLineEdit>(1069)->setText(Q(fields.fingerprint));
  ControlAs<QCheckBox>(1070)->setChecked(fields.exchangersMayUseTls);
}

SecurityFields SecurityDialog::Fields() const {
  SecurityFields fields;
  for (const TlsChoice& choice : kTlsChoices) {
    if (ControlAs<QRadioButton>(choice.id)->isChecked()) fields.tls = choice.text;
  }
  fields.user = ControlAs<QLineEdit>(1065)->text().toStdString();
  fields.password = ControlAs<QLineEdit>(1066)->text().toStdString();
  fields.passwordCommand = ControlAs<QLineEdit>(1067)->text().toStdString();
  fields.xoauth2 = ControlAs<QCheckBox>(1068)->isChecked();
  fields.fingerprint = ControlAs<QLineEdit>(1069)->text().toStdString();
  fields.exchangersMayUseTls = ControlAs<QCheckBox>(1070)->isChecked();
  return fields;
}

void SecurityDialog::accept() {
  StoreSecurityFields(Fields());
  QDialog::accept();
}

}  // namespace vellomar
