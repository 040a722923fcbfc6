#include "qt/template_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTreeWidget>

#include "qt/about_info.h"

// Resources compiled into a static library are registered by hand; this must stand in the
// global namespace.
static void RegisterResources() { Q_INIT_RESOURCE(vellomar); }

namespace vellomar {

namespace {

std::string ReadResource(const char* path) {
  static const bool registered = (RegisterResources(), true);
  (void)registered;  // only its one-time initialisation matters
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return "";
  return file.readAll().toStdString();
}

QString Text(const ControlTemplate& control) {
  QString text = QString::fromStdString(control.text);
  return text.replace("%credits%", kCredits);
}

// Multi-line radio buttons and check boxes: the text broken at the last blank before a word
// that would run past the width. Each break replaces one blank, so nothing is lost.
QString Wrapped(QString text, const QFontMetrics& metrics, int width) {
  int lineStart = 0;
  int lastBlank = -1;
  for (int i = 0; i <= text.size(); ++i) {
    bool end = i == text.size();
    if (!end && text[i] != ' ') continue;
    if (metrics.horizontalAdvance(text.mid(lineStart, i - lineStart)) > width && lastBlank > lineStart) {
      text[lastBlank] = '\n';
      lineStart = lastBlank + 1;
    }
    if (!end) lastBlank = i;
  }
  return text;
}

template <typename Button>
QWidget* Choice(const ControlTemplate& control, const DialogUnits& units, QWidget* parent) {
  auto* button = new Button(parent);
  QStyle* style = button->style();
  int indicator = style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, button) +
                  style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, button);
  button->setText(Wrapped(Text(control), QFontMetrics(parent->font()), units.X(control.width) - indicator));
  return button;
}

QWidget* Label(const ControlTemplate& control, QWidget* parent) {
  auto* label = new QLabel(Text(control), parent);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setWordWrap(true);
  return label;
}

QWidget* Picture(const ControlTemplate& control, QWidget* parent) {
  auto* picture = new QLabel(parent);
  picture->setPixmap(QPixmap(QString(":/images/bitmap%1.png").arg(control.id)));
  picture->setFrameShape(QFrame::Box);
  return picture;
}

QWidget* Button(const ControlTemplate& control, QWidget* parent) {
  auto* button = new QPushButton(Text(control), parent);
  button->setDefault(control.kind == "defbutton");
  button->setAutoDefault(control.kind == "defbutton");
  return button;
}

QWidget* ComboBox(const ControlTemplate& control, QWidget* parent) {
  auto* box = new QComboBox(parent);
  box->addItems(QString::fromStdString(control.text).split('|'));
  return box;
}

// A list of rows with columns, one row chosen at a time.
QWidget* ListView(const ControlTemplate& control, QWidget* parent) {
  auto* view = new QTreeWidget(parent);
  view->setHeaderLabels(QString::fromStdString(control.text).split('|'));
  view->setRootIsDecorated(false);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  return view;
}

QWidget* NotificationsBox(QWidget* parent) {
  auto* box = new QPlainTextEdit(parent);
  box->setReadOnly(true);
  // The newest text only: a long run must not grow memory without end.
  box->setMaximumBlockCount(1000);
  return box;
}

}  // namespace

const std::map<int, DialogTemplate>& DialogTemplates() {
  static const std::map<int, DialogTemplate> templates = ParseDialogTemplates(ReadResource(":/dialogs.txt"));
  return templates;
}

std::string ResourceString(int id) {
  static const std::map<int, std::string> strings = ParseStringTable(ReadResource(":/strings.txt"));
  auto found = strings.find(id);
  return found == strings.end() ? std::string() : found->second;
}

TemplateDialog::TemplateDialog(int templateId, QWidget* parent)
    : QDialog(parent), template_(DialogTemplates().at(templateId)), units_(DialogFont()) {
  setFont(DialogFont());
  setWindowTitle(QString::fromStdString(template_.caption));
  setFixedSize(units_.X(template_.width), units_.Y(template_.height));
  for (const ControlTemplate& control : template_.controls) {
    QWidget* widget = Create(control);
    widget->setGeometry(units_.Rect(control.x, control.y, control.width, control.height));
    if (control.id != -1) controls_[control.id] = widget;
  }
}

QWidget* TemplateDialog::Create(const ControlTemplate& control) {
  if (control.kind == "groupbox") return new QGroupBox(Text(control), this);
  if (control.kind == "static") return Label(control, this);
  if (control.kind == "listbox") return new QListWidget(this);
  if (control.kind == "edit") return new QLineEdit(this);
  if (control.kind == "multiedit") return NotificationsBox(this);
  if (control.kind == "radio") return Choice<QRadioButton>(control, units_, this);
  if (control.kind == "checkbox") return Choice<QCheckBox>(control, units_, this);
  if (control.kind == "picture") return Picture(control, this);
  if (control.kind == "combobox") return ComboBox(control, this);
  if (control.kind == "listview") return ListView(control, this);
  return Button(control, this);
}

QWidget* TemplateDialog::Control(int id) const {
  auto found = controls_.find(id);
  return found == controls_.end() ? nullptr : found->second;
}

void TemplateDialog::ReserveMenuHeight(int menuHeight) {
  int shift = menuHeight - menuHeight_;
  menuHeight_ = menuHeight;
  for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    if (child->inherits("QMenuBar")) continue;
    child->move(child->x(), child->y() + shift);
  }
  setFixedSize(width(), height() + shift);
}

}  // namespace vellomar
