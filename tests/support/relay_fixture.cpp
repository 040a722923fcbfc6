#include "support/relay_fixture.h"

#include <stdlib.h>

#include "control/control_ids.h"
#include "smtp_server/listener.h"
#include "support/eventually.h"

namespace vellomar::test {

RelayFixture::RelayFixture(SignInOptions signIn)
    : mainWindow{windowThread, controls, stop, appDir_.path(), clock.Source(), std::move(signIn)} {
  ::setenv("VELLOMAR_REGISTRY", (appDir().path() + "/store").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (appDir().path() + "/config").c_str(), 1);
  ::setenv("VELLOMAR_SMTP_PORT", "0", 1);
  EXPECT_TRUE(relay().OpenLog());
}

RelayFixture::~RelayFixture() { StopAll(); }

std::string RelayFixture::Notifications() {
  return windowThread.InvokeFor<std::string>([this] { return controls.Text(kNotificationsBox); }).value_or("");
}

void RelayFixture::Configure(const std::function<void(Settings&)>& change) {
  Settings settings = *relay().settings();
  change(settings);
  relay().PublishSettings(settings);
}

int RelayFixture::StartListener() {
  listener = relay().threads().Start([this](ThreadHandle& self) { return ListenerThread(relay(), self); });
  EXPECT_NE(listener, nullptr);
  EXPECT_TRUE(Eventually([this] { return relay().listeningPort != 0; }, 20000)) << "listener did not start";
  return relay().listeningPort;
}

void RelayFixture::StopAll() {
  if (stopped_) return;
  stopped_ = true;
  stop.Set();
  if (listener) listener->Cancel();
  relay().incoming.TerminateAll();
  relay().outgoing.TerminateAll();
  relay().threads().JoinAll();
  windowThread.Stop();
}

}  // namespace vellomar::test
