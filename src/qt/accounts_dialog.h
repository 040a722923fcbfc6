#pragma once

#include <QString>
#include <functional>
#include <string>

#include "qt/security_dialog.h"
#include "qt/template_dialog.h"

class QTreeWidget;

namespace vellomar {

class MainWindow;

// The Accounts dialog (152): every account the relay sends through, the default one first,
// each with its next relay, user and senders. "Add..." and "Edit..." open the account dialog;
// a confirmed one, and a removal (asked first), are stored and, with the window's core, put
// in use at once, so that the list and the relay never disagree. The default account cannot
// be removed. Lives on the window's thread.
class AccountsDialog : public TemplateDialog {
 public:
  // Runs an account dialog to its end; true when it was confirmed. Tests fill it in instead.
  using RunAccount = std::function<bool(SecurityDialog& dialog)>;
  // Asked before a removal; true to go on.
  using Confirm = std::function<bool(QWidget* parent, const QString& question)>;

  explicit AccountsDialog(QWidget* parent = nullptr, MainWindow* core = nullptr, RunAccount run = {},
                          Confirm confirm = {});

  QTreeWidget* list() const;
  void Add();
  void Edit();
  void Remove();

 private:
  std::string SelectedName() const;
  void Reload(const std::string& selected);
  void Changed(const std::string& selected);
  void EnableButtons();

  MainWindow* core_;
  RunAccount run_;
  Confirm confirm_;
};

}  // namespace vellomar
