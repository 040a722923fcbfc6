#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/temp_dir.h"

namespace vellomar::test {

// The settings store and the desktop's config folder inside the test's own folder.
class StoreFixture : public ::testing::Test {
 protected:
  StoreFixture() {
    ::setenv("VELLOMAR_REGISTRY", (dir_.path() + "/store").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir_.path() + "/config").c_str(), 1);
  }
  const TempDir& dir() const { return dir_; }
  std::string Machine() const { return dir().Read("store/HKEY_LOCAL_MACHINE.ini"); }
  std::string User() const { return dir().Read("store/HKEY_CURRENT_USER.ini"); }

  TempDir dir_;
};

}  // namespace vellomar::test
