#include "platform/wake_event.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace vellomar {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(WakeEventTest, NotifyBeforeTheWaitIsKeptAndConsumedOnce) {
  StopFlag stop;
  WakeEvent event(stop);
  event.Notify();
  EXPECT_TRUE(event.WaitFor(seconds(30)));
  EXPECT_FALSE(event.WaitFor(milliseconds(1)));
}

TEST(WakeEventTest, NotifyFromAnotherThreadEndsTheWait) {
  StopFlag stop;
  WakeEvent event(stop);
  auto waiter = std::async(std::launch::async, [&] { return event.WaitFor(seconds(30)); });
  event.Notify();
  ASSERT_EQ(waiter.wait_for(seconds(20)), std::future_status::ready);
  EXPECT_TRUE(waiter.get());
}

TEST(WakeEventTest, SettingTheStopFlagEndsAWaitingThreadAndLaterWaits) {
  StopFlag stop;
  WakeEvent event(stop);
  auto waiter = std::async(std::launch::async, [&] { return event.WaitFor(seconds(30)); });
  stop.Set();
  ASSERT_EQ(waiter.wait_for(seconds(20)), std::future_status::ready);
  EXPECT_FALSE(waiter.get());
  event.Notify();
  EXPECT_FALSE(event.WaitFor(seconds(30)));  // returns at once: the flag stays set
}

}  // namespace
}  // namespace vellomar
