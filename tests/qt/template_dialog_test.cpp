#include "qt/template_dialog.h"

#include <QAbstractButton>
#include <algorithm>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QTreeWidget>

#include "qt/about_info.h"
#include "qt/accounts_dialog.h"
#include "qt/dialogs.h"
#include "qt/security_dialog.h"
#include "qt/main_dialog.h"
#include "ui_fixture.h"

namespace vellomar {
namespace {

using TemplateDialogTest = test::UiFixture;

QString Shown(const QWidget* widget) {
  QString text;
  if (auto* button = qobject_cast<const QAbstractButton*>(widget)) text = button->text();
  if (auto* label = qobject_cast<const QLabel*>(widget)) text = label->text();
  if (auto* group = qobject_cast<const QGroupBox*>(widget)) text = group->title();
  if (auto* box = qobject_cast<const QComboBox*>(widget)) {
    for (int i = 0; i < box->count(); ++i) text += (i > 0 ? "|" : "") + box->itemText(i);
  }
  if (auto* view = qobject_cast<const QTreeWidget*>(widget)) {
    for (int i = 0; i < view->columnCount(); ++i) text += (i > 0 ? "|" : "") + view->headerItem()->text(i);
  }
  return text.replace('\n', ' ');
}

// Every control of every template: there, at its rectangle, showing its text.
TEST_F(TemplateDialogTest, EveryControlStandsWhereItsTemplateSays) {
  MainDialog main;
  ModesDialog modes;
  SettingsDialog settings;
  AboutDialog about;
  SecurityDialog security;
  AccountsDialog accounts;
  for (TemplateDialog* dialog :
       std::initializer_list<TemplateDialog*>{&main, &modes, &settings, &about, &security, &accounts}) {
    int top = dialog == &main ? main.menu()->height() : 0;
    const DialogUnits& units = dialog->units();
    EXPECT_EQ(units.baseWidth(), 7);
    EXPECT_EQ(units.baseHeight(), 13);
    auto children = dialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (const ControlTemplate& control : DialogTemplates().at(dialog == &main      ? 102
                                                               : dialog == &modes   ? 137
                                                               : dialog == &settings ? 147
                                                               : dialog == &about    ? 143
                                                               : dialog == &security ? 151
                                                                                     : 152)
                                              .controls) {
      QRect want = units.Rect(control.x, control.y, control.width, control.height).translated(0, top);
      auto found = std::find_if(children.begin(), children.end(), [&](QWidget* child) {
        return child->geometry() == want && (control.id == -1 || child == dialog->Control(control.id));
      });
      ASSERT_NE(found, children.end()) << control.kind << " " << control.id << " " << control.text;
      QString text = QString::fromStdString(control.text).replace("%credits%", kCredits);
      if (control.id != 1034 && control.id != 1050) {  // the version lines are filled when the dialog opens
        EXPECT_EQ(Shown(*found), text) << control.id;
      }
    }
  }
}

}  // namespace
}  // namespace vellomar
