#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "common/settings.h"
#include "control/main_window.h"
#include "control/memory_controls.h"
#include "platform/thread_executor.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"

namespace vellomar::test {

// A relay as the program would run it, minus the window's start: a window thread with
// in-memory controls, MainWindow with its relay in a temporary application directory and its
// log open, and the settings store in that directory. Everything belongs to the test: two
// fixtures in one process share nothing. Tear-down stops and joins every thread the test
// started.
class RelayFixture : public ::testing::Test {
 protected:
  RelayFixture() : RelayFixture(SignInOptions{}) {}
  // With the sign-ins' options: the authorities their HTTPS client trusts, its time limits.
  explicit RelayFixture(SignInOptions signIn);
  ~RelayFixture() override;

  const TempDir& appDir() const { return appDir_; }
  Relay& relay() { return mainWindow.relay(); }
  // The notifications box, read on the window's thread after what was posted before.
  std::string Notifications();
  std::string LogContent() const { return appDir().Read("logfile"); }
  // Publishes the relay's settings with the change made.
  void Configure(const std::function<void(Settings&)>& change);

  // Starts the listener on a port the system picks; returns that port.
  int StartListener();
  // Stops everything the test started; called by the destructor when the test did not.
  void StopAll();

  TempDir appDir_;
  TestClock clock;
  MemoryControls controls;
  StopFlag stop;
  ThreadExecutor windowThread{stop};
  MainWindow mainWindow{windowThread, controls, stop, appDir_.path(), clock.Source()};
  std::shared_ptr<ThreadHandle> listener;

 private:
  bool stopped_ = false;
};

}  // namespace vellomar::test
