#pragma once

#include <QWidget>
#include <gtest/gtest.h>

#include <tuple>

#include "support/store_fixture.h"

namespace vellomar::test {

// The dialogs load and store the settings store, kept in the test's own folder.
using UiFixture = StoreFixture;

// A control's rectangle in its dialog.
inline std::tuple<int, int, int, int> Box(const QWidget* widget) {
  QRect r = widget->geometry();
  return {r.x(), r.y(), r.width(), r.height()};
}

}  // namespace vellomar::test
