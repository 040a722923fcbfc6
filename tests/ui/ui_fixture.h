#pragma once

#include <QWidget>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/program_state.h"

namespace vellomar::test {

// The settings store in the test's own folder, for the dialogs that load and store it.
class UiFixture : public ::testing::Test {
 protected:
  UiFixture() {
    ::setenv("VELLOMAR_REGISTRY", (state_.appDir().path() + "/store").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (state_.appDir().path() + "/config").c_str(), 1);
  }
  std::string Store() const { return state_.appDir().Read("store/HKEY_LOCAL_MACHINE.ini"); }

  ProgramState state_;
};

// A control's rectangle in its dialog.
inline std::tuple<int, int, int, int> Box(const QWidget* widget) {
  QRect r = widget->geometry();
  return {r.x(), r.y(), r.width(), r.height()};
}

}  // namespace vellomar::test
