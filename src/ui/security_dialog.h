#pragma once

#include "control/security_fields.h"
#include "ui/template_dialog.h"

namespace vellomar {

// The Next relay security dialog (151): how the next relay is reached, the login, the
// certificate fingerprint and TLS toward exchangers; loaded from the store when it opens,
// stored and put in use on OK. The password is shown as dots.
class SecurityDialog : public TemplateDialog {
 public:
  explicit SecurityDialog(QWidget* parent = nullptr);
  SecurityFields Fields() const;
  void accept() override;
};

}  // namespace vellomar
