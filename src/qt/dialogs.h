#pragma once

#include <QString>
#include <functional>
#include <string>

#include "control/dialog_fields.h"
#include "qt/template_dialog.h"

namespace vellomar {

// How a dialog shows an error box; tests replace the modal box.
using ErrorBox = std::function<void(QWidget* parent, const QString& caption, const QString& text)>;
void ShowErrorBox(QWidget* parent, const QString& caption, const QString& text);

// The Modes dialog (137): the relaying mode and the three server addresses, loaded from the
// store when it opens; OK checks the selected mode's entry, then stores.
class ModesDialog : public TemplateDialog {
 public:
  explicit ModesDialog(QWidget* parent = nullptr, ErrorBox errorBox = ShowErrorBox);
  ModesFields Fields() const;
  void accept() override;

 private:
  ErrorBox errorBox_;
};

// The Settings dialog (147): stored as typed, without checks.
class SettingsDialog : public TemplateDialog {
 public:
  explicit SettingsDialog(QWidget* parent = nullptr);
  SettingsFields Fields() const;
  void accept() override;
};

// The About dialog (143): the logo, the version and the project's own addresses.
class AboutDialog : public TemplateDialog {
 public:
  // `fingerprint`: the SHA-256 of the listener's certificate, shown so that a client can pin
  // it; empty without one.
  explicit AboutDialog(QWidget* parent = nullptr, const std::string& fingerprint = {});
};

}  // namespace vellomar
