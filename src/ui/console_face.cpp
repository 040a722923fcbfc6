#include "ui/console_face.h"

#include <unistd.h>

#include <future>
#include <iostream>

#include "common/app_directory.h"
#include "control/main_window.h"
#include "platform/file_system.h"
#include "platform/thread_executor.h"
#include "ui/console_controls.h"
#include "ui/signal_watcher.h"

namespace vellomar {

int RunConsoleFace(const sigset_t& ending) {
  ConsoleControls controls(std::cin, std::cout, std::cerr, IsTerminal(STDIN_FILENO));
  StopFlag stop;
  ThreadExecutor windowThread(stop);
  MainWindow mainWindow(windowThread, controls, stop, GetAppDirectory(), nullptr, SignInOptions::FromEnvironment());
  mainWindow.relay().SetDropFolder(GetDropFolder());
  windowThread.SetFaultReport([&mainWindow](const std::string& fault) { mainWindow.relay().AppendLog("Error : " + fault); });
  // Watching before the first-start questions, so that Ctrl-C there ends the program.
  SignalWatcher endingSignals(ending);
  if (!windowThread.InvokeFor<bool>([&] { return mainWindow.CheckPrerequisites(); }).value_or(false)) return 1;
  std::promise<void> endRequested;
  endingSignals.HandOver([&endRequested] { endRequested.set_value(); });
  windowThread.Invoke([&] { mainWindow.OnInitDialog(); });
  endingSignals.OnDeliverNow([&windowThread, &mainWindow] { windowThread.Post([&mainWindow] { mainWindow.DeliverNow(); }); });
  endingSignals.OnSignInChanged(
      [&windowThread, &mainWindow] { windowThread.Post([&mainWindow] { mainWindow.relay().ReloadSignIns(); }); });

  endRequested.get_future().wait();
  // Shutdown runs where every change to the window runs; it ends with the stop flag set, so
  // it is awaited through a promise rather than Invoke.
  std::promise<void> done;
  windowThread.Post([&] {
    mainWindow.Shutdown();
    done.set_value();
  });
  done.get_future().wait();
  mainWindow.relay().threads().JoinAll();
  windowThread.Stop();
  return 0;
}

}  // namespace vellomar
