// Saves pictures of the main window and the three dialogs, as a display draws them:
//   xvfb-run -a build-test/tests/ui_screenshots docs
// Not a test: the pictures go to the README.
#include <QApplication>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTimer>
#include <stdlib.h>

#include <string>

#include "common/flags.h"
#include "control/control_ids.h"
#include "control/main_window.h"
#include "platform/thread_tracker.h"
#include "spool/spool_lists.h"
#include "ui/dialogs.h"
#include "ui/main_dialog.h"
#include "ui/qt_controls.h"
#include "ui/qt_executor.h"

using namespace vellomar;

namespace {

void Save(QWidget& widget, const QString& path) {
  widget.show();
  for (int i = 0; i < 10; ++i) QApplication::processEvents();
  widget.grab().save(path);
}

void FillWindow(MainWindow& core, QtControls& controls) {
  for (const char* name : {"102113.tml", "102114.tml"}) {
    std::lock_guard<std::mutex> guard(IncomingLock());
    IncomingRegistry().AddWorker(nullptr, name);
  }
  {
    std::lock_guard<std::mutex> guard(OutgoingLock());
    OutgoingRegistry().AddWorker(nullptr, "101958.tml");
    MailSummary summary;
    summary.sender = "<ann@example.org>\r\n";
    summary.recipientCount = 2;
    summary.subject = "Minutes of Monday\r\n";
    summary.size = 5234;
    OutgoingRegistry().UpdateSummary("101958.tml", summary);
  }
  core.receivedAll = 12;
  core.receivedOk = 11;
  core.sentAll = 9;
  core.sentOk = 9;
  core.RefreshStatistics();
  controls.ListSelect(kOutgoingList, 0);
  core.ShowOutgoingInfo();
  for (const char* line : {"Initializing...", "Server starting...", "Client starting...", "Server started and listening.",
                           "Client started.", "Client stopped: no files left."}) {
    controls.AppendNotification(std::string(line) + "\r\n", "");
  }
  controls.SetButtonBitmap(kServerStateButton, kRunningBitmap);
  controls.SetButtonBitmap(kClientStateButton, kStoppedBitmap);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QString folder = argc > 1 ? argv[1] : "docs";
  ::setenv("VELLOMAR_REGISTRY", "/nonexistent-vellomar-store", 1);
  QtExecutor windowThread(stopRequested);
  ThreadTracker threads(stopRequested);
  MainDialog dialog;
  QtControls controls(dialog);
  MainWindow core(windowThread, controls, threads);
  dialog.Attach(core, controls);
  FillWindow(core, controls);
  Save(dialog, folder + "/main-window.png");
  ModesDialog modes;
  Save(modes, folder + "/modes-dialog.png");
  SettingsDialog settings;
  Save(settings, folder + "/settings-dialog.png");
  AboutDialog about;
  Save(about, folder + "/about-dialog.png");
  stopRequested.Set();
  return 0;
}
