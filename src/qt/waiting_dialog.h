#pragma once

#include <QDialog>

#include <functional>
#include <map>
#include <string>

#include "platform/file_system.h"

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
  // Tells the user something that needs no answer.
  using Inform = std::function<void(const QString& text)>;

  WaitingDialog(MainWindow& core, QWidget* parent);

  void Refresh();
  void DeliverSelectedNow();
  void DeleteSelected();
  void SetConfirm(Confirm confirm) { confirm_ = std::move(confirm); }
  void SetInform(Inform inform) { inform_ = std::move(inform); }
  QTreeWidget* list() const { return list_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  std::string SelectedName() const;

  MainWindow& core_;
  QTreeWidget* list_;
  Confirm confirm_;
  Inform inform_;
  // Which file each row showed, read with it.
  std::map<std::string, FileIdentity> shown_;
};

}  // namespace vellomar
