#include "support/relay_fixture.h"

#include <stdlib.h>

#include <new>

#include "common/flags.h"
#include "common/settings.h"
#include "control/control_ids.h"
#include "smtp_server/listener.h"
#include "smtp_server/server_session.h"
#include "spool/spool_lists.h"
#include "support/eventually.h"

namespace vellomar::test {

namespace {

// Each test starts from the defaults, whatever a test before it in this process set. No relay
// thread runs here, so nothing holds a field while it is replaced.
void ResetSettings() {
  Settings& settings = TheSettings();
  settings.~Settings();
  new (&settings) Settings();
}

}  // namespace

StopFlag& RelayFixture::stopRequestedFlag() { return stopRequested; }

RelayFixture::RelayFixture() {
  ResetSettings();
  ::setenv("VELLOMAR_REGISTRY", (appDir().path() + "/store").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (appDir().path() + "/config").c_str(), 1);
  ::setenv("VELLOMAR_SMTP_PORT", "0", 1);
  EXPECT_TRUE(mainWindow.OpenLog());
}

RelayFixture::~RelayFixture() { StopAll(); }

std::string RelayFixture::Notifications() {
  return window.InvokeFor<std::string>([this] { return controls.Text(kNotificationsBox); }).value_or("");
}

int RelayFixture::StartListener() {
  listener = threads.Start([this](ThreadHandle& self) { return ListenerThread(mainWindow, self); });
  EXPECT_NE(listener, nullptr);
  EXPECT_TRUE(Eventually([] { return ListeningPort() != 0; }, 20000)) << "listener did not start";
  return ListeningPort();
}

void RelayFixture::StopAll() {
  if (stopped_) return;
  stopped_ = true;
  stopRequested.Set();
  if (listener) listener->Cancel();
  for (WorkerRegistry* registry : {&IncomingRegistry(), &OutgoingRegistry()}) {
    std::unique_lock<std::mutex> held(registry->lock);
    registry->TerminateAll(held);
  }
  threads.JoinAll();
  window.Stop();
}

}  // namespace vellomar::test
