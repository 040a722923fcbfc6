#pragma once

#include <QDialog>

#include <functional>
#include <string>

class QTreeWidget;
class QPushButton;

namespace vellomar {

class MainWindow;

// "Waiting e-mails": the mail that waits for delivery, one row per spool file with its age,
// sender, subject, recipients and their states, the next try and the last error. A selected
// message can be delivered now or deleted (after a confirmation). Lives on the window's
// thread; reads the spool files and the schedule when shown and when refreshed.
class WaitingDialog : public QDialog {
 public:
  // Asked before a deletion with the question's text; true to go on.
  using Confirm = std::function<bool(const QString& question)>;

  WaitingDialog(MainWindow& core, QWidget* parent);

  void Refresh();
  void DeliverSelectedNow();
  void DeleteSelected();
  void SetConfirm(Confirm confirm) { confirm_ = std::move(confirm); }
  QTreeWidget* list() const { return list_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  std::string SelectedName() const;

  MainWindow& core_;
  QTreeWidget* list_;
  Confirm confirm_;
};

}  // namespace vellomar
