#include "qt/qt_face.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTimer>

#include "common/app_directory.h"
#include "control/main_window.h"
#include "qt/main_dialog.h"
#include "qt/qt_controls.h"
#include "qt/qt_executor.h"
#include "ui/signal_watcher.h"
#include "qt/template_dialog.h"

namespace vellomar {

int RunQtFace(int argc, char** argv, const sigset_t& ending) {
  QApplication app(argc, argv);
  // The program ends through Shutdown only, never because a window closed.
  app.setQuitOnLastWindowClosed(false);
  app.setWindowIcon(QIcon(":/images/icon128.png"));
  StopFlag stop;
  QtExecutor windowThread(stop);
  MainDialog dialog;
  QtControls controls(dialog);
  MainWindow core(windowThread, controls, stop, GetAppDirectory(), nullptr, SignInOptions::FromEnvironment());
  windowThread.SetFaultReport([&core](const std::string& fault) { core.relay().AppendLog("Error : " + fault); });
  core.relay().SetDropFolder(GetDropFolder());
  dialog.Attach(core, controls);
  // Declared after everything its hand-over uses, so it stops looking before they go; it
  // watches through the final joins, where a second signal still ends the program at once.
  SignalWatcher endingSignals(ending);
  if (!SocketLayerAvailable()) {
    QMessageBox::information(nullptr, "Vellomar", QString::fromStdString(ResourceString(103)), QMessageBox::Ok);
    return 1;
  }
  if (!core.CheckPrerequisites()) return 1;
  endingSignals.HandOver([&windowThread, &dialog] { windowThread.Post([&dialog] { dialog.EndProgram(); }); });
  dialog.show();
  core.OnInitDialog();
  endingSignals.OnDeliverNow([&windowThread, &core] { windowThread.Post([&core] { core.DeliverNow(); }); });
  endingSignals.OnSignInChanged([&windowThread, &core] { windowThread.Post([&core] { core.relay().ReloadSignIns(); }); });
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &dialog, [&dialog] { dialog.EndProgram(); });
  // The desktop notifications whose time has come; a relay thread only hands its events over.
  QTimer notifications;
  QObject::connect(&notifications, &QTimer::timeout, &dialog, [&core] { core.ShowDueNotifications(); });
  notifications.start(1000);
  int code = app.exec();
  dialog.EndProgram();
  windowThread.Close();
  core.relay().threads().JoinAll();
  return code;
}

}  // namespace vellomar
