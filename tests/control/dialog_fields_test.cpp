#include "control/dialog_fields.h"

#include <gtest/gtest.h>

#include "common/app_directory.h"
#include "control/autostart.h"
#include "control/registry_key.h"
#include "control/settings_loading.h"
#include "platform/file_system.h"
#include "support/store_fixture.h"

namespace vellomar {
namespace {

class DialogFieldsTest : public test::StoreFixture {};

TEST_F(DialogFieldsTest, ModesOpenOnAnEmptyStoreWithSimpleRelayingAndEmptyFields) {
  ModesFields fields = LoadModesFields();
  EXPECT_FALSE(fields.trueRelaying);
  EXPECT_EQ(fields.smtp, "");
  EXPECT_EQ(fields.dns, "");
  EXPECT_EQ(fields.alternate, "");
}

TEST_F(DialogFieldsTest, ModesCheckRefusesAnEmptyEntryForTheSelectedMode) {
  const std::string before = Machine();
  ModesFields trueWithoutDns{"relay.example", "", "", true};
  auto error = CheckModesFields(trueWithoutDns);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->text, "You must fill the entry associated to the selected mode");
  EXPECT_EQ(error->caption, "Error");
  EXPECT_FALSE(StoreModesFields(trueWithoutDns));
  ModesFields simpleWithoutRelay{"", "10.0.0.53", "", false};
  EXPECT_TRUE(CheckModesFields(simpleWithoutRelay).has_value());
  EXPECT_FALSE(StoreModesFields(simpleWithoutRelay));
  EXPECT_EQ(Machine(), before) << "nothing written";

  ModesFields filled{"", "10.0.0.53", "", true};
  EXPECT_FALSE(CheckModesFields(filled).has_value());
  EXPECT_TRUE(StoreModesFields(filled));
  EXPECT_EQ(Machine(), "[Software\\Vellomar]\nDNS=10.0.0.53\nSMTP=\nAlternate=\nREAL_RELAY=1\n");
  ModesFields loaded = LoadModesFields();
  EXPECT_TRUE(loaded.trueRelaying);
  EXPECT_EQ(loaded.dns, "10.0.0.53");
  EXPECT_TRUE(ReloadRelaySettings(SettingsKey(), Settings()).REAL_RELAY);
}

// Every filled entry must be a server address; an IPv6 one with a port needs brackets.
TEST_F(DialogFieldsTest, ModesCheckTakesServerAddressesOfEitherFamily) {
  struct Case {
    const char* server;
    bool accepted;
  };
  const Case cases[] = {
      {"relay.example", true},   {"relay.example:587", true},  {"192.0.2.25:25", true}, {"2001:db8::25", true},
      {"[2001:db8::25]", true},  {"[2001:db8::25]:587", true}, {"[::1]:2525", true},    {"relay.example:smtp", false},
      {"relay.example:0", false}, {"[relay.example]:25", false}, {"[2001:db8::25]587", false},
      {"2001:db8::25:587x", false}, {"[2001:db8::25]:70000", false}, {"a]b", false},
  };
  for (const Case& c : cases) {
    for (bool trueRelaying : {false, true}) {
      ModesFields fields{trueRelaying ? "" : c.server, "10.0.0.53", trueRelaying ? c.server : "", trueRelaying};
      auto error = CheckModesFields(fields);
      EXPECT_EQ(!error.has_value(), c.accepted) << c.server;
      if (error) {
        EXPECT_EQ(error->text, std::string("Invalid server address: ") + c.server);
      }
    }
  }
}

TEST_F(DialogFieldsTest, SettingsStoreAsTypedAndAutostartFollowsTheBox) {
  SettingsFields fields;
  fields.minimize = true;
  fields.autostart = true;
  fields.logSize = "20";
  fields.input = "letters";
  fields.output = "3";
  fields.writeRecipients = true;
  fields.warnTemporary = true;
  fields.allow = "192.0.2.0/24, 2001:db8::/32 typo";
  fields.ports = "587 465";
  fields.authInClear = true;
  StoreSettingsFields(fields);
  EXPECT_EQ(Machine(), "[Software\\Vellomar]\nMinimize=1\nLogsize=20\nLogrec=1\nLogabo=0\nLogdel=1\nInput=letters\n"
                       "Output=3\nAllow=192.0.2.0/24, 2001:db8::/32 typo\nPorts=587 465\nTLS_Certificate=\nTLS_Key=\n"
                       "TLS_MinVersion=\nAuthInClear=1\nRequireAuth=0\nMaxSize=\n");
  // The program that runs this test, not the application directory it was pointed at.
  auto self = ReadSymbolicLink("/proc/self/exe");
  ASSERT_TRUE(self);
  const std::string program = self.value().substr(0, self.value().rfind('/')) + "/vellomar";
  EXPECT_NE(program, GetAppDirectory() + "/vellomar");
  EXPECT_EQ(ReadAutostart(), program);
  EXPECT_EQ(AutostartEntryPath(), dir().path() + "/config/autostart/vellomar.desktop");
  std::string entry = dir().Read("config/autostart/vellomar.desktop");
  EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(entry.find("\nExec=\"" + program + "\"\n"), std::string::npos) << entry;

  SettingsFields loaded = LoadSettingsFields();
  EXPECT_TRUE(loaded.autostart);
  EXPECT_TRUE(loaded.minimize);
  EXPECT_EQ(loaded.input, "letters");
  EXPECT_TRUE(loaded.writeRecipients);
  EXPECT_FALSE(loaded.warnTotal);
  EXPECT_TRUE(loaded.warnTemporary);
  EXPECT_EQ(loaded.allow, "192.0.2.0/24, 2001:db8::/32 typo") << "stored as typed";

  fields.autostart = false;
  StoreSettingsFields(fields);
  EXPECT_EQ(User(), "[Software\\Microsoft\\Windows\\CurrentVersion\\Run]\nVellomar=\n") << "kept, empty";
  EXPECT_FALSE(dir().Exists("config/autostart/vellomar.desktop"));
  EXPECT_FALSE(LoadSettingsFields().autostart);
  LoadedSettings next = LoadSettings(SettingsKey());
  EXPECT_EQ(next.problems, std::vector<std::string>{"Allow: invalid entry ignored: typo"});
  EXPECT_EQ(next.settings.Input, 100) << "letters give the default at the next start";
}

TEST_F(DialogFieldsTest, AutostartCommandIsQuotedForTheDesktop) {
  WriteAutostart("/opt/my \"relay\"/vellomar");
  EXPECT_NE(dir().Read("config/autostart/vellomar.desktop").find("Exec=\"/opt/my \\\"relay\\\"/vellomar\"\n"),
            std::string::npos);
}

}  // namespace
}  // namespace vellomar
