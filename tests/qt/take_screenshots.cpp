// Saves pictures of the main window, its dialogs, the accounts and the waiting e-mails view, as
// a display draws them:
//   xvfb-run -a build-test/tests/ui_screenshots docs
// Not a test: the pictures go to the README.
#include <QApplication>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTimer>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <string>

#include "common/app_directory.h"
#include "control/account_store.h"
#include "control/control_ids.h"
#include "control/main_window.h"
#include "platform/thread_tracker.h"
#include "spool/relay_services.h"
#include "qt/accounts_dialog.h"
#include "qt/dialogs.h"
#include "qt/main_dialog.h"
#include "qt/qt_controls.h"
#include "qt/qt_executor.h"
#include "qt/security_dialog.h"
#include "qt/waiting_dialog.h"

using namespace vellomar;

namespace {

void Save(QWidget& widget, const QString& path) {
  widget.show();
  for (int i = 0; i < 10; ++i) QApplication::processEvents();
  widget.grab().save(path);
}

void FillWindow(MainWindow& core, QtControls& controls) {
  Relay& relay = core.relay();
  for (const char* name : {"102113.tml", "102114.tml"}) {
    relay.incoming.AddWorker(nullptr, name);
  }
  {
    relay.outgoing.AddWorker(nullptr, "101958.tml");
    MailSummary summary;
    summary.sender = "<ann@example.org>\r\n";
    summary.recipientCount = 2;
    summary.subject = "Minutes of Monday\r\n";
    summary.size = 5234;
    relay.outgoing.UpdateSummary("101958.tml", summary);
  }
  relay.counters.receivedAll = 12;
  relay.counters.receivedOk = 11;
  relay.counters.sentAll = 9;
  relay.counters.sentOk = 9;
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

// The default account at a provider, and one of its own for a shop's mail, in a store of their own.
void FillAccounts(const std::string& folder) {
  ::setenv("VELLOMAR_REGISTRY", (folder + "/store").c_str(), 1);
  const std::pair<const char*, const char*> home[] = {
      {"SMTP", "smtp.office365.com:587"}, {"SMTP_User", "ann@example.org"}, {"SMTP_OAuth", "microsoft"},
      {"SMTP_OAuthClientId", "9e5f94bc-e8a4-4e73-b8be-63364c29d753"}, {"SMTP_Auth", "XOAUTH2"}};
  for (auto [name, text] : home) SettingsKey().Write(name, text);
  const std::pair<const char*, const char*> shop[] = {
      {"SMTP", "mail.shop.example:465"}, {"SMTP_TLS", "tls"}, {"SMTP_User", "orders@shop.example"},
      {"SMTP_Password", "not shown"}, {"Senders", "orders@shop.example *@shop.example"},
      {"RewriteSender", "orders@shop.example"}, {"MaxPerMinute", "20"}};
  for (auto [name, text] : shop) AccountKey("shop").Write(name, text);
}

void FillQueue(QueueList& queue) {
  const auto now = std::chrono::steady_clock::now();
  const std::string trace = "Received: from pc ([192.168.1.20])\r\n\tby relay with Vellomar; Mon, 7 Dec 2026 9:12:40 +0000 (UTC)\r\n";
  std::ofstream(queue.PathOf("091240.tml"))
      << "HELO pc\r\nMAIL FROM:<ann@example.org>\r\nXCPT TO:<bob@example.net>\r\nSCPT TO:<cy@example.com>\r\n"
         "DATA\r\n" << trace << "Subject: Figures for December\r\n\r\nx\r\n.\r\nQUIT\r\n";
  std::ofstream(queue.PathOf("101502.tml"))
      << "HELO pc\r\nMAIL FROM:<orders@shop.example>\r\nRCPT TO:<eve@example.com>\r\nDATA\r\n"
      << "Subject: Lunch on Friday\r\n\r\nx\r\n.\r\nQUIT\r\n";
  queue.SetScheduleClock([now] { return now; });
  for (int i = 0; i < 3; ++i) queue.RecordTry("091240.tml");
  queue.NoteError("091240.tml", "<cy@example.com>", "451 4.2.0 Mailbox busy, try later");
  queue.RecordTry("101502.tml");
  queue.NoteError("101502.tml", "<eve@example.com>", "can't connect to smtp.office.example:25");
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QString folder = argc > 1 ? argv[1] : "docs";
  ::setenv("VELLOMAR_REGISTRY", "/nonexistent-vellomar-store", 1);
  // Two messages wait behind a next relay that is down, in a folder of their own.
  char queueFolder[] = "/tmp/vellomar-screenshots-XXXXXX";
  if (::mkdtemp(queueFolder) == nullptr) return 1;
  StopFlag stop;
  QtExecutor windowThread(stop);
  MainDialog dialog;
  QtControls controls(dialog);
  MainWindow core(windowThread, controls, stop, queueFolder);
  dialog.Attach(core, controls);
  FillWindow(core, controls);
  Save(dialog, folder + "/main-window.png");
  ModesDialog modes;
  Save(modes, folder + "/modes-dialog.png");
  SettingsDialog settings;
  Save(settings, folder + "/settings-dialog.png");
  // As a listener with a certificate of its own shows it.
  AboutDialog about(nullptr,
                    "4B:95:01:08:BC:89:A1:E6:10:3E:2D:71:FC:52:81:27:DE:01:6B:21:E7:C9:A0:D7:EF:31:31:BF:68:EA:AD:AC");
  Save(about, folder + "/about-dialog.png");
  FillAccounts(queueFolder);
  core.ReloadRelaySettings();
  AccountsDialog accounts;
  Save(accounts, folder + "/accounts-dialog.png");
  SecurityDialog shop(nullptr, nullptr, OpenInBrowser, EditedAccount{EditedAccount::Kind::Stored, "shop"});
  Save(shop, folder + "/account-dialog.png");
  FillQueue(core.relay().queue);
  WaitingDialog waiting(core, nullptr);
  waiting.Refresh();
  waiting.resize(1260, 170);
  Save(waiting, folder + "/waiting-dialog.png");
  stop.Set();
  return 0;
}
