#include "platform/stop_flag.h"

#include <gtest/gtest.h>

namespace vellomar {
namespace {

TEST(StopFlagTest, SetCallsTheWakesSubscribedAtThatMomentOnly) {
  StopFlag flag;
  int early = 0;
  int dropped = 0;
  auto kept = flag.Subscribe([&] { ++early; });
  { auto gone = flag.Subscribe([&] { ++dropped; }); }
  EXPECT_FALSE(flag.load());
  flag.Set();
  EXPECT_TRUE(flag.load());
  EXPECT_TRUE(static_cast<bool>(flag));
  EXPECT_EQ(early, 1);
  EXPECT_EQ(dropped, 0);
  flag.Reset();
  EXPECT_FALSE(flag.load());
}

}  // namespace
}  // namespace vellomar
