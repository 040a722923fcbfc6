// The controller's start: the prerequisites, the window's initialisation in its order, the
// client timer, and the clean-up of receptions that a crash cut short.
#include <fcntl.h>

#include <algorithm>
#include <chrono>

#include "common/app_directory.h"
#include "common/flags.h"
#include "common/text.h"
#include "common/window_controls.h"
#include "control/main_window.h"
#include "control/program_lock.h"
#include "control/registry_key.h"
#include "control/settings.h"
#include "delivery/delivery_notes.h"
#include "delivery/notice_leftovers.h"
#include "platform/file_system.h"
#include "platform/wake_event.h"
#include "spool/spool_format.h"

namespace vellomar {

namespace {

// A reception is complete when its data ended: the file ends with the end-of-data line,
// maybe followed by one QUIT line. The QUIT line of a session is at most 1,000 bytes.
constexpr size_t kTailSize = 1024 + 5;

bool HasCompleteData(const std::string& path) {
  auto fd = OpenFile(path, O_RDONLY);
  if (!fd) return true;  // not ours to judge
  auto length = FileLength(fd.value().get());
  if (!length) return true;
  off_t start = length.value() > static_cast<off_t>(kTailSize) ? length.value() - static_cast<off_t>(kTailSize) : 0;
  std::string tail(static_cast<size_t>(length.value() - start), '\0');
  if (!SeekTo(fd.value().get(), start)) return true;
  auto got = ReadSome(fd.value().get(), tail.data(), tail.size());
  if (!got) return true;
  tail.resize(got.value());
  size_t end = tail.rfind(kEndOfDataMarker);
  if (end == std::string::npos) return false;
  std::string rest = tail.substr(end + kEndOfDataMarker.size());
  if (rest.empty()) return true;
  size_t feed = rest.find('\n');
  return StartsWithIgnoreCase(rest, "QUIT") && (feed == std::string::npos || feed + 1 == rest.size());
}

}  // namespace

// A second program on the same folder would clean up the first one's receptions as
// incomplete and deliver its waiting files twice. A folder where the lock file cannot even be
// created is left to the checks that follow, which report what makes it unusable.
bool MainWindow::TakeProgramLock() {
  auto lock = TakeProgramLockFile(AppFilePath("vellomar.lock"));
  if (!lock) return lock.error() != EWOULDBLOCK;
  programLock_ = std::move(lock.value());
  return true;
}

bool MainWindow::CheckPrerequisites() {
  if (!TakeProgramLock()) {
    controls_.ShowMessage("Vellomar is already running from this folder.", "Vellomar");
    return false;
  }
  if (!EntryExists(AppFilePath("error"))) {
    controls_.ShowMessage("File named <error> not found in application path", "Error");
    return false;
  }
  if (std::string oversized = OversizedStoreFile(); !oversized.empty()) {
    controls_.ShowMessage("The settings store " + oversized + " is larger than 1 MB and is not read. Move it away.",
                          "Vellomar error");
    return false;
  }
  RegistryKey key = SettingsKey();
  if (key.Read("DNS").empty() && key.Read("SMTP").empty()) {
    controls_.ShowMessage("You must give some configuration information first.", "Vellomar");
    controls_.RunModesDialog();
  }
  if (!OpenLog()) {
    controls_.ShowMessage("Can't open logfile. Exiting...", "Vellomar error");
    return false;
  }
  return true;
}

void MainWindow::OnInitDialog() {
  TheSettings().Logsize = ReadNumberSetting(SettingsKey(), "Logsize", 10);
  MoveLogToEnd();
  AppendLog("Initializing...");
  AppendLog("Application folder: " + GetAppDirectory());
  controls_.AddTrayIcon();
  LoadRelaySettings();
  StartClientTimer();
  receivedAll = receivedOk = sentAll = sentOk = 0;
  RefreshStatistics();
  serverThread.reset();
  {
    std::lock_guard<std::mutex> guard(clientLock);
    clientThread.reset();
  }
  for (const std::string& problem : LoadStartupSettings()) AppendLog(problem);
  LoadQueueSettings();
  RemoveIncompleteSpoolFiles();
  QueueLeftoverNotices(*this);
  StartServer();
  StartClient();
}

// Posts StartClient to the window's thread once per period, as a window timer would, and
// also when a file that waited for its retry time becomes due, so a retry after a minute
// does not wait for the half-hour tick.
void MainWindow::StartClientTimer() {
  threads_.Start([this](ThreadHandle&) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point tick = Clock::now() + timings.clientTimerPeriod;
    while (!stopRequested.load()) {
      auto wait = std::chrono::ceil<std::chrono::milliseconds>(tick - Clock::now());
      auto retry = UntilNextTry();
      bool retryFirst = retry && *retry < wait;
      // Woken by a newly recorded try: the schedule is looked at again.
      if (TryRecorded().WaitFor(std::max(std::chrono::milliseconds(0), retryFirst ? *retry : wait))) continue;
      if (stopRequested.load()) break;
      if (!retryFirst) tick = Clock::now() + timings.clientTimerPeriod;
      windowThread_.Post([this] { StartClient(); });
    }
    return 0;
  });
}

void MainWindow::RemoveIncompleteSpoolFiles() {
  auto names = ListDirectory(GetAppDirectory());
  if (!names) return;
  for (const std::string& name : names.value()) {
    if (!HasSpoolExtension(name)) continue;
    std::string path = AppFilePath(name);
    if (KindOf(path) != EntryKind::Regular || HasCompleteData(path)) continue;
    if (RemoveFile(path)) AppendLog("Removed incomplete spool file " + name);
  }
}

}  // namespace vellomar
