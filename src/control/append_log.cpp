// The log operations of MainWindow: the file, its size limit and the notifications box.
#include "common/app_directory.h"
#include "control/main_window.h"
#include "control/settings.h"
#include "platform/file_system.h"
#include "platform/local_clock.h"

namespace vellomar {

namespace {
const char* const kLogFileName = "logfile";
const char* const kOldLogFileName = "logfile.1";
}

bool MainWindow::OpenLog() {
  std::lock_guard<std::mutex> guard(LogLock);
  return logFile_.Open(AppFilePath(kLogFileName));
}

void MainWindow::MoveLogToEnd() {
  std::lock_guard<std::mutex> guard(LogLock);
  logFile_.MoveToEnd();
}

void MainWindow::CloseLog() {
  std::lock_guard<std::mutex> guard(LogLock);
  logFile_.Close();
}

void MainWindow::AppendLog(const std::string& message) {
  std::tm now = LocalNow();
  std::lock_guard<std::mutex> guard(LogLock);
  if (!logFile_.IsOpen()) return;
  std::string line = LogTimeStamp(now) + message + "\r\n";
  logFile_.Write(line);
  // Posted under LogLock, so the box gets the messages in the order of the file's lines.
  AppendNotification(message + "\r\n", line);
  if (logFile_.Length() > LogLimit(TheSettings().Logsize)) {
    // The full log is kept as logfile.1 (replacing the one before), so the lines that explain
    // a problem outlive the next burst of traffic.
    (void)RenameFile(AppFilePath(kLogFileName), AppFilePath(kOldLogFileName));  // else it is emptied
    if (!logFile_.Reopen(AppFilePath(kLogFileName))) {
      ShowMessageBox("Can't reopen logfile. Logs ignored now...", "Vellomar error");
    }
  }
}

}  // namespace vellomar
