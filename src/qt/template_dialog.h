#pragma once

#include <QDialog>
#include <map>

#include "qt/dialog_template.h"
#include "qt/dialog_units.h"

namespace vellomar {

// A dialog laid out from its template: every control at its rectangle in dialog units,
// converted with the dialog font's base units, below an optional menu bar. Controls are
// reached by their ids.
class TemplateDialog : public QDialog {
 public:
  TemplateDialog(int templateId, QWidget* parent = nullptr);

  QWidget* Control(int id) const;
  template <typename Widget>
  Widget* ControlAs(int id) const {
    return dynamic_cast<Widget*>(Control(id));
  }
  const DialogUnits& units() const { return units_; }
  // Leaves room at the top for a menu bar of the given height.
  void ReserveMenuHeight(int menuHeight);

 private:
  QWidget* Create(const ControlTemplate& control);

  DialogTemplate template_;
  DialogUnits units_;
  std::map<int, QWidget*> controls_;
  int menuHeight_ = 0;
};

// The templates and strings compiled into the program.
const std::map<int, DialogTemplate>& DialogTemplates();
std::string ResourceString(int id);

}  // namespace vellomar
