#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "control/main_window.h"
#include "control/memory_controls.h"
#include "platform/thread_executor.h"
#include "platform/thread_tracker.h"
#include "support/program_state.h"

namespace vellomar::test {

// A relay as the program would run it, minus the controller: a window thread with in-memory
// controls, the thread tracker, MainWindow with its log open in a temporary application
// directory, and the settings store in that directory. Tear-down stops and joins every
// thread the test started.
class RelayFixture : public ::testing::Test {
 protected:
  RelayFixture();
  ~RelayFixture() override;

  const TempDir& appDir() const { return state_.appDir(); }
  // The notifications box, read on the window's thread after what was posted before.
  std::string Notifications();
  std::string LogContent() const { return appDir().Read("logfile"); }

  // Starts the listener on a port the system picks; returns that port.
  int StartListener();
  // Stops everything the test started; called by the destructor when the test did not.
  void StopAll();

  ProgramState state_;
  MemoryControls controls;
  ThreadExecutor windowThread{stopRequestedFlag()};
  ThreadTracker threads{stopRequestedFlag()};
  MainWindow mainWindow{windowThread, controls, threads};
  std::shared_ptr<ThreadHandle> listener;

 private:
  static StopFlag& stopRequestedFlag();
  bool stopped_ = false;
};

}  // namespace vellomar::test
