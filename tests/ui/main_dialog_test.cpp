#include "ui/main_dialog.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>

#include "common/flags.h"
#include "control/control_ids.h"
#include "control/main_window.h"
#include "platform/thread_tracker.h"
#include "spool/spool_lists.h"
#include "ui/qt_controls.h"
#include "ui/qt_executor.h"
#include "ui_fixture.h"

namespace vellomar {
namespace {

using test::Box;

class MainDialogTest : public test::UiFixture {
 protected:
  MainDialogTest() { dialog.Attach(core, controls); }
  ~MainDialogTest() override {
    stopRequested.Set();
    threads.JoinAll();
  }

  QStringList Actions(const QMenu* menu) {
    QStringList texts;
    for (const QAction* action : menu->actions()) texts << (action->isSeparator() ? "-" : action->text());
    return texts;
  }
  void Register(WorkerRegistry& registry, const std::string& name) {
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.AddWorker(nullptr, name);
  }

  // Declared first, gone last: the notifications still queued for the window go with it.
  QtExecutor window{stopRequested};
  ThreadTracker threads{stopRequested};
  MainDialog dialog;
  QtControls controls{dialog};
  MainWindow core{window, controls, threads};
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
  EXPECT_EQ(titles, (QStringList{"&File", "&Options", "?"}));
  EXPECT_EQ(Actions(dialog.menu()->actions()[0]->menu()), QStringList{"&Exit"});
  EXPECT_EQ(Actions(dialog.menu()->actions()[1]->menu()), (QStringList{"&Modes...", "&Settings...", "&Next relay security..."}));
  EXPECT_EQ(Actions(dialog.menu()->actions()[2]->menu()), QStringList{"About"});

  controls.AddTrayIcon();
  ASSERT_NE(controls.tray(), nullptr);
  EXPECT_EQ(controls.tray()->toolTip(), "Vellomar");
  EXPECT_EQ(Actions(controls.trayMenu()),
            (QStringList{"Display", "-", "Modes...", "Settings...", "Next relay security...", "-", "About Vellomar...", "-", "Exit"}));
  controls.RemoveTrayIcon();
  EXPECT_EQ(controls.tray(), nullptr) << "no icon left behind";
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
  Register(IncomingRegistry(), "in.tml");
  Register(OutgoingRegistry(), "out.tml");
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

TEST_F(MainDialogTest, EscapeEndsTheProgramThroughShutdownOnce) {
  ASSERT_TRUE(core.OpenLog());
  dialog.reject();
  dialog.close();
  EXPECT_TRUE(dialog.ended());
  EXPECT_TRUE(stopRequested.load());
  const std::string log = state_.appDir().Read("logfile");
  size_t first = log.find("File list now empty.");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("File list now empty.", first + 1), std::string::npos);
}

}  // namespace
}  // namespace vellomar
