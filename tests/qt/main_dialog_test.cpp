#include "qt/main_dialog.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "control/control_ids.h"
#include "control/main_window.h"
#include "platform/file_system.h"
#include "platform/thread_tracker.h"
#include "spool/relay_services.h"
#include "support/eventually.h"
#include "qt/qt_controls.h"
#include "qt/qt_executor.h"
#include "qt/waiting_dialog.h"
#include "ui_fixture.h"

namespace vellomar {
namespace {

using test::Box;

class MainDialogTest : public test::UiFixture {
 protected:
  MainDialogTest() { dialog.Attach(core, controls); }
  ~MainDialogTest() override {
    stop.Set();
    relay().threads().JoinAll();
  }
  Relay& relay() { return core.relay(); }

  QStringList Actions(const QMenu* menu) {
    QStringList texts;
    for (const QAction* action : menu->actions()) texts << (action->isSeparator() ? "-" : action->text());
    return texts;
  }
  void Register(WorkerRegistry& registry, const std::string& name) {
    registry.AddWorker(nullptr, name);
  }

  // Declared first, gone last: the notifications still queued for the window go with it.
  StopFlag stop;
  QtExecutor windowThread{stop};
  MainDialog dialog;
  QtControls controls{dialog};
  MainWindow core{windowThread, controls, stop, dir().path()};
};

TEST_F(MainDialogTest, ControlsTextsIdsAndGeometry) {
  const int menu = dialog.menu()->height();
  EXPECT_GT(menu, 0);
  EXPECT_EQ(dialog.windowTitle(), "Vellomar");
  EXPECT_EQ(dialog.size(), QSize(527, 414 + menu));  // 301 x 255 dialog units
  EXPECT_EQ(Box(dialog.Control(kIncomingList)), std::make_tuple(23, 28 + menu, 222, 101));  // 13, 17, 127, 62
  EXPECT_EQ(Box(dialog.Control(kClientStateButton)), std::make_tuple(471, 367 + menu, 23, 20));  // 269, 226, 13, 12
  for (int id : {kIncomingList, kOutgoingList}) EXPECT_NE(dialog.ControlAs<QListWidget>(id), nullptr);
  for (int id : {kIncomingInfoPanel, kOutgoingInfoPanel}) EXPECT_NE(dialog.ControlAs<QLabel>(id), nullptr);
  EXPECT_TRUE(dialog.ControlAs<QPlainTextEdit>(kNotificationsBox)->isReadOnly());
  EXPECT_EQ(dialog.ControlAs<QPushButton>(kFlushButton)->text(), "Flush");
  EXPECT_EQ(dialog.ControlAs<QLabel>(kIncomingConnectionsText)->text(), "Incoming connections :");
  EXPECT_EQ(dialog.ControlAs<QLabel>(kSentText)->text(), "E-mails sent [ok/all] :");
  QStringList groups;
  for (const QGroupBox* group : dialog.findChildren<QGroupBox*>()) groups << group->title();
  EXPECT_EQ(groups, (QStringList{"Incoming e-mails", "Infos ", "Outgoing e-mails", "Infos", "Notifications",
                                 "Statistics"}));
}

TEST_F(MainDialogTest, MenuAndTrayMenuEntriesInOrder) {
  QStringList titles;
  for (const QAction* action : dialog.menu()->actions()) titles << action->text();
  EXPECT_EQ(titles, (QStringList{"&File", "&Options", "&Queue", "?"}));
  EXPECT_EQ(Actions(dialog.menu()->actions()[0]->menu()), QStringList{"&Exit"});
  EXPECT_EQ(Actions(dialog.menu()->actions()[1]->menu()), (QStringList{"&Modes...", "&Settings...", "&Accounts..."}));
  EXPECT_EQ(Actions(dialog.menu()->actions()[2]->menu()), (QStringList{"&Waiting e-mails...", "Deliver &now"}));
  EXPECT_EQ(Actions(dialog.menu()->actions()[3]->menu()), QStringList{"About"});

  controls.AddTrayIcon();
  ASSERT_NE(controls.tray(), nullptr);
  EXPECT_EQ(controls.tray()->toolTip(), "Vellomar");
  EXPECT_EQ(Actions(controls.trayMenu()),
            (QStringList{"Display", "Waiting e-mails...", "Deliver now", "-", "Modes...", "Settings...",
                         "Accounts...", "-", "About Vellomar...", "-", "Exit"}));
  controls.RemoveTrayIcon();
  EXPECT_EQ(controls.tray(), nullptr) << "no icon left behind";
}

// The waiting e-mails view: one row per waiting file with its states and what this run knows
// of its tries; a deletion asks first and a refusal keeps the file.
TEST_F(MainDialogTest, WaitingEmailsViewRowsStatesAndDeleteWithConfirmation) {
  const std::string trace = "Received: from c ([::1])\r\n\tby relay with Vellomar; Sun, 6 Dec 2026 7:5:3 +0000 (UTC)\r\n";
  dir().Write("1.tml", "HELO a\r\nMAIL FROM:<ann@example.org>\r\nXCPT TO:<bob@example.net>\r\nSCPT TO:<cy@example.com>\r\n"
                          "DATA\r\n" + trace + "Subject: Figures\r\n\r\nx\r\n.\r\nQUIT\r\n");
  dir().Write("2.tml", "HELO a\r\nMAIL FROM:<>\r\nRCPT TO:<ann@example.org>\r\nDATA\r\nSubject: Failure\r\n\r\n.\r\nQUIT\r\n");
  std::string reserved;
  relay().queue.RecordTry("1.tml");
  relay().queue.NoteError("1.tml", "<cy@example.com>", "451 mailbox busy");
  reserved = relay().queue.NewSpoolName(true);
  dir().Write(reserved, "HELO a\r\nMAIL FROM:<x@example.org>\r\n");  // being received: not shown
  auto work = std::make_shared<Settings>();
  work->Senders = "*@example.org";
  Settings settings;
  settings.Accounts.push_back(Account{"work", work});
  relay().PublishSettings(settings);
  dialog.WaitingCommand();
  WaitingDialog* view = dialog.waitingDialog();
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->windowTitle(), "Waiting e-mails");
  QTreeWidget* list = view->list();
  QStringList headers;
  for (int c = 0; c < list->columnCount(); ++c) headers << list->headerItem()->text(c);
  EXPECT_EQ(headers, (QStringList{"File", "Age", "Sender", "Account", "Subject", "Recipients", "Next try", "Last error"}));
  ASSERT_EQ(list->topLevelItemCount(), 2);
  QStringList first, second;
  for (int c = 0; c < list->columnCount(); ++c) {
    first << list->topLevelItem(0)->text(c);
    second << list->topLevelItem(1)->text(c);
  }
  EXPECT_EQ(first.mid(2), (QStringList{"<ann@example.org>", "work", "Figures", "<bob@example.net> done, <cy@example.com> deferred 1 time",
                                       "in 1m", "<cy@example.com>: 451 mailbox busy"}));
  EXPECT_TRUE(first[1].endsWith("h")) << first[1].toStdString() << ": days and hours since the trace header's date";
  EXPECT_EQ(second, (QStringList{"2.tml", "0s", "<>", "default", "Failure", "<ann@example.org> pending", "now", ""}));

  QStringList asked;
  bool answer = false;
  view->SetConfirm([&](const QString& question) {
    asked << question;
    // While the question is open the tray menu still works: its Deliver now refreshes the
    // list under the question, deleting the row it was about.
    if (answer) view->Refresh();
    return answer;
  });
  list->topLevelItem(0)->setSelected(true);
  view->DeleteSelected();
  ASSERT_EQ(asked.size(), 1);
  EXPECT_EQ(asked[0], "Delete the waiting e-mail 1.tml from <ann@example.org> (Figures)? It will not be delivered.");
  EXPECT_TRUE(dir().Exists("1.tml")) << "refused: kept";
  answer = true;
  view->DeleteSelected();
  EXPECT_FALSE(dir().Exists("1.tml"));
  ASSERT_EQ(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->text(0), "2.tml");
  view->DeleteSelected();
  EXPECT_EQ(asked.size(), 2) << "nothing selected: nothing asked";

  // The message on screen was delivered and a newer one took its name: that one stays.
  ASSERT_TRUE(relay().OpenLog());
  QStringList told;
  view->SetInform([&](const QString& text) { told << text; });
  ASSERT_TRUE(RemoveFile(dir().File("2.tml")));
  dir().Write("2.tml", "HELO a\r\nMAIL FROM:<dan@example.org>\r\nRCPT TO:<eve@example.com>\r\nDATA\r\n\r\nx\r\n.\r\nQUIT\r\n");
  list->topLevelItem(0)->setSelected(true);
  view->DeleteSelected();
  EXPECT_TRUE(dir().Exists("2.tml"));
  ASSERT_EQ(told.size(), 1);
  EXPECT_TRUE(told[0].startsWith("The waiting e-mail 2.tml has gone since it was shown")) << told[0].toStdString();
  EXPECT_NE(dir().Read("logfile").find("Waiting e-mail 2.tml has gone since it was shown; nothing deleted"),
            std::string::npos);
  EXPECT_FALSE(relay().queue.ScheduleOf("1.tml")) << "nothing kept of a deleted file";
  relay().queue.Discard(reserved, false);
}

TEST_F(MainDialogTest, MinimizeHidesOnlyWhenATrayCanBringTheWindowBack) {
  for (bool tray : {true, false}) {
    controls.SetTrayAvailable(tray);
    dialog.Display();
    dialog.setWindowState(Qt::WindowMinimized);
    QApplication::processEvents();
    QApplication::processEvents();
    EXPECT_EQ(dialog.isVisible(), !tray) << (tray ? "with" : "without") << " a tray";
    controls.SetWindowVisible(false);
    EXPECT_EQ(dialog.isVisible(), !tray) << "the Minimize setting follows the same rule";
  }
}

TEST_F(MainDialogTest, InfoPanelsShowTheirTwoFormatsAfterARefresh) {
  Register(relay().incoming, "in.tml");
  Register(relay().outgoing, "out.tml");
  core.RefreshStatistics();
  EXPECT_EQ(controls.ListCount(kIncomingList), 1);
  // A click selects the entry and fills its panel at once.
  dialog.ControlAs<QListWidget>(kIncomingList)->setCurrentRow(0);
  EXPECT_EQ(dialog.ControlAs<QLabel>(kIncomingInfoPanel)->text(),
            "Mail from Unknown\n0 recipient(s)\nSubject : Unknown\nSize : 0 bytes");
  dialog.ControlAs<QListWidget>(kOutgoingList)->setCurrentRow(0);
  core.RefreshStatistics();
  EXPECT_EQ(dialog.ControlAs<QLabel>(kOutgoingInfoPanel)->text(),
            "Mail from Unknown0 recipient(s)\nSubject : UnknownSize : 0 bytes");
  EXPECT_EQ(dialog.ControlAs<QLabel>(kIncomingConnectionsText)->text(), "Incoming connections : 1");
}

// A sign-in to be made again, as the relay says it (from any thread): one box at a time, with
// the Sign in action, without the log's mark.
TEST_F(MainDialogTest, AnExpiredSignInIsOfferedInOneBox) {
  for (int said = 0; said < 2; ++said) core.SignInNeeded("google/c1/ann", "Error : sign-in to Google expired: sign in again");
  EXPECT_TRUE(test::Eventually([&] {
    QApplication::processEvents();
    return dialog.signInBox() != nullptr;
  }));
  QApplication::processEvents();
  int shown = 0;
  for (QWidget* widget : QApplication::allWidgets()) shown += qobject_cast<QMessageBox*>(widget) && widget->isVisible();
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(dialog.signInBox()->text(),
            "sign-in to Google expired: sign in again.\nMail to the next relay waits until you sign in again.");
  QStringList buttons;
  for (QAbstractButton* button : dialog.signInBox()->buttons()) buttons << button->text();
  buttons.sort();
  EXPECT_EQ(buttons, QStringList({"Later", "Sign in..."}));
  dialog.signInBox()->close();
}

TEST_F(MainDialogTest, EscapeEndsTheProgramThroughShutdownOnce) {
  ASSERT_TRUE(relay().OpenLog());
  dialog.reject();
  dialog.close();
  EXPECT_TRUE(dialog.ended());
  EXPECT_TRUE(stop.load());
  const std::string log = dir().Read("logfile");
  size_t first = log.find("File list now empty.");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("File list now empty.", first + 1), std::string::npos);
}

}  // namespace
}  // namespace vellomar
