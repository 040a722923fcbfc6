#include "control/registry_key.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "control/store_file.h"
#include "platform/file_system.h"
#include "support/store_fixture.h"

namespace vellomar {
namespace {

class RegistryKeyTest : public test::StoreFixture {};

TEST_F(RegistryKeyTest, ReadingCreatesTheKeyAndMissingValuesReadEmpty) {
  EXPECT_EQ(SettingsKey().Read("DNS"), "");
  EXPECT_EQ(Machine(), "[Software\\Vellomar]\n");
  EXPECT_EQ(SettingsStoreDirectory(), dir().path() + "/store");
}

TEST_F(RegistryKeyTest, TextsRoundTripExactlyWhateverTheirLengthOrBytes) {
  RegistryKey key = SettingsKey();
  const std::string texts[] = {"1 ", " padded ", "back\\slash", "two\nlines\r\n", std::string(4000, 'x'),
                               "a=b=c", "\\n literally"};
  for (const std::string& text : texts) {
    key.Write("Value", text);
    EXPECT_EQ(key.Read("Value"), text);
  }
  key.Write("Other", "kept");
  EXPECT_EQ(key.Read("Value"), "\\n literally");
  EXPECT_EQ(Machine(), "[Software\\Vellomar]\nValue=\\\\n literally\nOther=kept\n");
}

TEST_F(RegistryKeyTest, NamesCompareExactlyAndKeysStayApart) {
  RegistryKey settings = SettingsKey();
  settings.Write("SMTP", "relay.example");
  EXPECT_EQ(settings.Read("smtp"), "");
  EXPECT_EQ(settings.Read("SMTP "), "");
  RegistryKey other(RegistryRoot::LocalMachine, "Software\\Other");
  other.Write("SMTP", "elsewhere");
  EXPECT_EQ(settings.Read("SMTP"), "relay.example");
  EXPECT_EQ(other.Read("SMTP"), "elsewhere");
  // Subkeys: one level down, in the store's order; a removed one goes with its values only.
  RegistryKey accounts = settings.Subkey("Accounts");
  accounts.Subkey("work").Write("SMTP", "w.example");
  EXPECT_EQ(accounts.Subkey("b").Read("SMTP"), "");
  EXPECT_EQ(accounts.SubkeyNames(), (std::vector<std::string>{"work", "b"}));
  accounts.Subkey("work").Remove();
  EXPECT_EQ(accounts.SubkeyNames(), std::vector<std::string>{"b"});
  EXPECT_EQ(accounts.Subkey("work").Read("SMTP"), "");
  EXPECT_EQ(settings.Read("SMTP"), "relay.example");
  AutostartKey().Write("Vellomar", "/opt/v/vellomar");
  EXPECT_EQ(User(), "[Software\\Microsoft\\Windows\\CurrentVersion\\Run]\nVellomar=/opt/v/vellomar\n");
}

TEST_F(RegistryKeyTest, CommentsAndBlankLinesSurviveARewrite) {
  ASSERT_TRUE(MakeDirectories(dir().File("store")));
  dir().Write("store/HKEY_LOCAL_MACHINE.ini",
              "; written by hand\n\n[Software\\Vellomar]\n# the relay\nSMTP=old\n\n[Software\\Other]\nX=1\n");
  RegistryKey key = SettingsKey();
  key.Write("SMTP", "new");
  key.Write("DNS", "10.0.0.53");
  EXPECT_EQ(Machine(),
            "; written by hand\n\n[Software\\Vellomar]\n# the relay\nSMTP=new\nDNS=10.0.0.53\n\n[Software\\Other]\nX=1\n");

  // Line ends an editor doubled read the same before a rewrite and after it.
  dir().Write("store/HKEY_LOCAL_MACHINE.ini", "[Software\\Vellomar]\r\r\nLogsize=20\r\r\n");
  EXPECT_EQ(key.Read("Logsize"), "20");
  key.Write("DNS", "ns");
  EXPECT_EQ(key.Read("Logsize"), "20");
}

TEST_F(RegistryKeyTest, LeftoverTemporaryFileIsIgnoredAndReplaced) {
  RegistryKey key = SettingsKey();
  key.Write("SMTP", "relay.example");
  dir().Write("store/HKEY_LOCAL_MACHINE.ini.tmp", "[Software\\Vellomar]\nSMTP=half writ");
  EXPECT_EQ(key.Read("SMTP"), "relay.example");
  key.Write("DNS", "ns");
  EXPECT_FALSE(dir().Exists("store/HKEY_LOCAL_MACHINE.ini.tmp"));
  EXPECT_EQ(key.Read("SMTP"), "relay.example");
  EXPECT_EQ(key.Read("DNS"), "ns");
}

TEST_F(RegistryKeyTest, UnreadableStoreIsNeitherReadNorOverwritten) {
  ASSERT_TRUE(MakeDirectories(dir().File("store/HKEY_LOCAL_MACHINE.ini")));  // a folder in the way
  RegistryKey key = SettingsKey();
  key.Write("SMTP", "lost");
  EXPECT_EQ(key.Read("SMTP"), "");
  EXPECT_EQ(KindOf(dir().File("store/HKEY_LOCAL_MACHINE.ini")), EntryKind::Directory);
}

TEST_F(RegistryKeyTest, AStoreOverOneMegabyteIsNeitherReadNorOverwritten) {
  RegistryKey key = SettingsKey();
  ASSERT_TRUE(MakeDirectories(dir().File("store")));
  EXPECT_EQ(OversizedStoreFile(), "");
  const std::string exactly = "[Software\\Vellomar]\nSMTP=relay\n;" + std::string(kMaxStoreFileSize - 33, 'x') + "\n";
  ASSERT_EQ(exactly.size(), kMaxStoreFileSize);
  dir().Write("store/HKEY_LOCAL_MACHINE.ini", exactly);
  EXPECT_EQ(OversizedStoreFile(), "");
  EXPECT_EQ(key.Read("SMTP"), "relay") << "1 MB is still a store";
  const std::string over = exactly + "x";
  dir().Write("store/HKEY_LOCAL_MACHINE.ini", over);
  EXPECT_EQ(OversizedStoreFile(), key.FilePath());
  EXPECT_EQ(key.Read("SMTP"), "");
  key.Write("DNS", "lost");
  EXPECT_EQ(dir().Read("store/HKEY_LOCAL_MACHINE.ini"), over);
  dir().Write("store/HKEY_LOCAL_MACHINE.ini", "");
  dir().Write("store/HKEY_CURRENT_USER.ini", over);
  EXPECT_EQ(OversizedStoreFile(), AutostartKey().FilePath()) << "either root";
}

TEST_F(RegistryKeyTest, AReaderNeverSeesAPartialFile) {
  RegistryKey key = SettingsKey();
  key.Write("Value", std::string(20000, 'a'));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (char c = 'b'; c <= 'z'; ++c) key.Write("Value", std::string(20000, c));
    done = true;
  });
  int reads = 0;
  while (!done || reads == 0) {
    auto content = ReadWholeFile(key.FilePath());
    ASSERT_TRUE(content.ok());
    auto value = StoreFile::Parse(content.value()).Get("Software\\Vellomar", "Value");
    ASSERT_TRUE(value.has_value());
    ASSERT_EQ(value->size(), 20000u);
    EXPECT_EQ(value->find_first_not_of(value->front()), std::string::npos);
    ++reads;
  }
  writer.join();
  EXPECT_EQ(key.Read("Value"), std::string(20000, 'z'));
}

}  // namespace
}  // namespace vellomar
