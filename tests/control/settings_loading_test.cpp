#include "control/settings_loading.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <iomanip>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "control/account_store.h"
#include "control/registry_key.h"
#include "control/security_fields.h"
#include "platform/file_system.h"
#include "support/store_fixture.h"

namespace vellomar {
namespace {

class SettingsTest : public test::StoreFixture {};

TEST_F(SettingsTest, NumbersAreDecimalPrefixes) {
  struct Case {
    const char* text;
    int32_t want;
  };
  const Case cases[] = {{"12abc", 12}, {"abc", 0}, {"-5", -5}, {"  +7", 7}, {"", 0}, {"0", 0},
                        {"1 ", 1},     {"007", 7}, {"- 5", 0}, {"99999999999", INT32_MAX},
                        {"-99999999999", INT32_MIN}, {"\t42\n", 42}};
  for (const Case& c : cases) EXPECT_EQ(DecimalPrefix(c.text), c.want) << '"' << c.text << '"';
}

TEST_F(SettingsTest, NextRelaySecurityValuesAreLoadedAndAPasswordKeepsTheStorePrivate) {
  ASSERT_TRUE(MakeDirectories(dir().File("store")));
  dir().Write("store/HKEY_LOCAL_MACHINE.ini",
              "[Software\\Vellomar]\nSMTP=smtp.example:587\nSMTP_TLS=starttls\nSMTP_User=alice@example.org\n"
              "SMTP_Password=p=a\\\\ss\nSMTP_PasswordCommand=secret-tool lookup host smtp.example\nSMTP_Auth=XOAUTH2\n"
              "SMTP_Fingerprint=AB:CD\nMX_TLS=may\n");
  ASSERT_TRUE(SetFileMode(dir().File("store/HKEY_LOCAL_MACHINE.ini"), 0644));
  Settings settings = ReloadRelaySettings(SettingsKey(), Settings());
  EXPECT_EQ(settings.SMTP_TLS, "starttls");
  EXPECT_EQ(settings.SMTP_User, "alice@example.org");
  EXPECT_EQ(settings.SMTP_Password, "p=a\\ss");
  EXPECT_EQ(settings.SMTP_PasswordCommand, "secret-tool lookup host smtp.example");
  EXPECT_EQ(settings.SMTP_Auth, "XOAUTH2");
  EXPECT_EQ(settings.SMTP_Fingerprint, "AB:CD");
  EXPECT_EQ(settings.MX_TLS, "may");
  struct stat store {};
  ASSERT_EQ(::stat(dir().File("store/HKEY_LOCAL_MACHINE.ini").c_str(), &store), 0);
  EXPECT_EQ(store.st_mode & 0777, 0600u);

  // A client secret keeps it private too; the sign-in's values come with the relay's.
  dir().Write("store/HKEY_LOCAL_MACHINE.ini",
              "[Software\\Vellomar]\nSMTP_OAuth=google\nSMTP_OAuthClientId=c1\nSMTP_OAuthClientSecret=s1\n");
  ASSERT_TRUE(SetFileMode(dir().File("store/HKEY_LOCAL_MACHINE.ini"), 0644));
  Settings signIn = ReloadRelaySettings(SettingsKey(), Settings());
  EXPECT_EQ(std::tie(signIn.SMTP_OAuth, signIn.SMTP_OAuthClientId, signIn.SMTP_OAuthClientSecret),
            std::make_tuple("google", "c1", "s1"));
  ASSERT_EQ(::stat(dir().File("store/HKEY_LOCAL_MACHINE.ini").c_str(), &store), 0);
  EXPECT_EQ(store.st_mode & 0777, 0600u);

  // Without a password the store's mode is the user's own business.
  dir().Write("store/HKEY_LOCAL_MACHINE.ini", "[Software\\Vellomar]\nSMTP_User=alice\n");
  ASSERT_TRUE(SetFileMode(dir().File("store/HKEY_LOCAL_MACHINE.ini"), 0644));
  EXPECT_EQ(ReloadRelaySettings(SettingsKey(), settings).SMTP_Password, "");
  ASSERT_EQ(::stat(dir().File("store/HKEY_LOCAL_MACHINE.ini").c_str(), &store), 0);
  EXPECT_EQ(store.st_mode & 0777, 0644u);
}

// As the account dialog stores them: each account in its own section, read with the relay
// values; exchangers stay the default account's.
TEST_F(SettingsTest, AccountSectionsAsTheAccountDialogStoresThem) {
  SecurityFields home;
  home.nextRelay = "smtp.home.example:587";
  home.user = "me@home.example";
  home.exchangersMayUseTls = true;
  StoreSecurityFields(home);
  SecurityFields work = home;
  work.nextRelay = "smtp.work.example:465";
  work.password = "pw";
  work.senders = "*@work.example";
  work.maxPerMinute = "30";
  StoreSecurityFields(work, AccountKey("work"));
  EXPECT_EQ(AccountKey("work").Read("MX_TLS"), "");
  Settings settings = ReloadRelaySettings(SettingsKey(), Settings());
  ASSERT_EQ(settings.Accounts.size(), 1u);
  const Settings& w = *settings.Accounts[0].values;
  EXPECT_EQ(std::tie(w.SMTP, w.SMTP_Password, w.Senders, w.MaxPerMinute, settings.SMTP, settings.MX_TLS),
            std::make_tuple("smtp.work.example:465", "pw", "*@work.example", 30, "smtp.home.example:587", "may"));
  SecurityFields loaded = LoadSecurityFields(AccountKey("work"));
  EXPECT_EQ(std::tie(loaded.user, loaded.maxPerMinute, loaded.exchangersMayUseTls),
            std::make_tuple("me@home.example", "30", false));
  std::string listed;
  for (const AccountSummary& a : ReadAccountSummaries()) listed += a.name + " " + a.nextRelay + " " + a.senders + "\n";
  EXPECT_EQ(listed, "default smtp.home.example:587 \nwork smtp.work.example:465 *@work.example\n");
  const std::pair<std::string, bool> names[] = {{"shop", true},      {"me@shop.example", true}, {"a_b-c.9", true},
                                                {"", false},         {"Default", false},        {"WORK", false},
                                                {"two words", false}, {"a]b", false},           {"x\\y", false},
                                                {std::string(101, 'a'), false}};
  for (const auto& [name, usable] : names) EXPECT_EQ(NewAccountNameProblem(name).empty(), usable) << name;
  // Sections written by hand that the dialog would refuse: one named as the default account,
  // one apart from another only by letter case. Each is left out with a line saying why; of
  // the twins the first by name stays.
  RegistryKey accounts = SettingsKey().Subkey(kAccountsSection);
  accounts.Subkey("default").Write("SMTP", "other.example");
  accounts.Subkey("Default").Write("SMTP", "other.example");
  accounts.Subkey("WORK").Write("SMTP", "twin.example");
  LoadedSettings read = LoadSettings(SettingsKey());
  std::string kept;
  for (const Account& account : read.settings.Accounts) kept += account.name + "=" + account.values->SMTP + " ";
  EXPECT_EQ(kept, "WORK=twin.example ");
  EXPECT_EQ(read.problems, (std::vector<std::string>{
                                 "Error : account Default not used: \"default\" is the name of the default account",
                                 "Error : account default not used: \"default\" is the name of the default account",
                                 "Error : account work not used: there is an account named WORK already"}));
  std::vector<std::string> problems;
  EXPECT_EQ(ReloadRelaySettings(SettingsKey(), Settings(), &problems).Accounts.size(), 1u);
  EXPECT_EQ(problems, read.problems);
  for (const char* name : {"default", "Default", "WORK"}) accounts.Subkey(name).Remove();
  RemoveAccount("default");
  RemoveAccount("work");
  EXPECT_EQ(ReadAccountSummaries().size(), 1u);
  EXPECT_EQ(SettingsKey().Read("SMTP"), "smtp.home.example:587") << "the default account stays";
}

TEST_F(SettingsTest, FirstStartWritesOnlyTheNumberDefaults) {
  Settings settings = LoadSettings(SettingsKey()).settings;
  EXPECT_EQ(Machine(), "[Software\\Vellomar]\nLogsize=10\nInput=100\nOutput=100\nLifetime=5\n");
  EXPECT_EQ(settings.Logsize, 10);
  EXPECT_EQ(settings.Input, 100);
  EXPECT_EQ(settings.Output, 100);
  EXPECT_FALSE(settings.Minimize);
  EXPECT_FALSE(settings.REAL_RELAY);
  EXPECT_EQ(settings.SMTP, "");
  EXPECT_EQ(settings.Lifetime, 5);
}

TEST_F(SettingsTest, NumberRulesAndDefaultsWrittenBack) {
  RegistryKey key = SettingsKey();
  key.Write("Logsize", "12kB");
  key.Write("Input", "letters");
  key.Write("Output", "-5");
  Settings settings = LoadSettings(key).settings;
  EXPECT_EQ(settings.Logsize, 12);
  EXPECT_EQ(key.Read("Logsize"), "12kB") << "a usable value is left as typed";
  EXPECT_EQ(settings.Input, 100);
  EXPECT_EQ(key.Read("Input"), "100");
  EXPECT_EQ(settings.Output, -5);
  EXPECT_EQ(key.Read("Output"), "-5");
}

// Only the next relay's values are read again when a dialog is confirmed; the rest waits for
// the next start.
TEST_F(SettingsTest, AReloadReadsTheRelayValuesAndKeepsTheRest) {
  RegistryKey key = SettingsKey();
  Settings started = LoadSettings(key).settings;
  for (const char* name : {"SMTP", "SMTP_User", "Alternate"}) key.Write(name, std::string(name) + ".example");
  key.Write("Input", "7");
  key.Write("REAL_RELAY", "1");
  Settings reloaded = ReloadRelaySettings(key, started);
  EXPECT_EQ(reloaded.SMTP, "SMTP.example");
  EXPECT_EQ(reloaded.SMTP_User, "SMTP_User.example");
  EXPECT_EQ(reloaded.Alternate, "Alternate.example");
  EXPECT_TRUE(reloaded.REAL_RELAY);
  EXPECT_EQ(reloaded.Input, 100) << "read at the next start";
  for (const SettingRow& row : SettingRows()) {
    EXPECT_EQ(RowOf(row.field).key, row.key) << "each field has one row";
    EXPECT_EQ(row.reload == SettingReload::WithRelay,
              row.editor == SettingEditor::ModesDialog || row.editor == SettingEditor::SecurityDialog)
        << row.key;
  }
}

TEST_F(SettingsTest, LifetimeDaysWithZeroForEver) {
  struct Case {
    const char* stored;  // nullptr: missing
    int32_t want;
    const char* after;
  };
  const Case cases[] = {{nullptr, 5, "5"}, {"3", 3, "3"}, {"0", 0, "0"}, {"00", 0, "00"},
                        {"days", 5, "5"},  {"-2", 5, "5"}, {"", 5, "5"}, {"7 days", 7, "7 days"}};
  for (const Case& c : cases) {
    RegistryKey key = SettingsKey();
    key.Write("Lifetime", c.stored == nullptr ? "" : c.stored);
    EXPECT_EQ(LoadSettings(key).settings.Lifetime, c.want) << (c.stored ? c.stored : "missing");
    EXPECT_EQ(key.Read("Lifetime"), c.after) << (c.stored ? c.stored : "missing");
  }
}

// A flag whose default is on stays on while unset; the status thresholds are minutes, 0 for
// never.
TEST_F(SettingsTest, NotifyIsOnUnlessStoredOffAndTheStatusThresholdsAreMinutes) {
  struct Case {
    const char* notify;  // nullptr: missing
    bool want;
    const char* warnAfter;
    int32_t wantWarn;
  };
  const Case cases[] = {{nullptr, true, nullptr, 60}, {"1", true, "30", 30}, {"0", false, "0", 0},
                        {"no", false, "soon", 60},  {"", true, "-5", 60}};
  for (const Case& c : cases) {
    RegistryKey key = SettingsKey();
    key.Write("Notify", c.notify == nullptr ? "" : c.notify);
    key.Write("WarnAfter", c.warnAfter == nullptr ? "" : c.warnAfter);
    Settings settings = LoadSettings(key).settings;
    EXPECT_EQ(settings.Notify, c.want) << (c.notify ? c.notify : "missing");
    EXPECT_EQ(settings.WarnAfter, c.wantWarn) << (c.warnAfter ? c.warnAfter : "missing");
    EXPECT_EQ(settings.CriticalAfter, 1440);
  }
}

TEST_F(SettingsTest, AllowNamesTheServedNetworksAndFallsBackToTheLocalOnes) {
  struct Case {
    const char* text;
    std::vector<std::string> problems;
    std::vector<std::pair<const char*, bool>> served;
  };
  const std::vector<std::pair<const char*, bool>> localOnly = {
      {"127.0.0.1", true},     {"127.8.9.10", true},  {"::1", true},          {"10.20.30.40", true},
      {"172.16.0.1", true},    {"172.31.255.254", true}, {"172.32.0.1", false}, {"192.168.1.1", true},
      {"169.254.3.4", true},   {"fe80::1", true},     {"fd00::2", true},      {"fc00::1", true},
      {"192.0.2.1", false},    {"8.8.8.8", false},    {"2001:db8::1", false}, {"::2", false},
      {"::ffff:10.1.1.1", true}, {"::ffff:192.0.2.1", false}};
  const Case cases[] = {
      {"", {}, localOnly},
      {" , ", {}, localOnly},
      {"bad, worse", {"Allow: invalid entry ignored: bad", "Allow: invalid entry ignored: worse",
                      "Allow: no valid entry, the default networks apply"}, localOnly},
      {"192.0.2.0/24 10.0.0.0/33",
       {"Allow: invalid entry ignored: 10.0.0.0/33"},
       {{"192.0.2.77", true}, {"127.0.0.1", false}, {"10.0.0.1", false}}},
      {"0.0.0.0/0", {}, {{"198.51.100.1", true}, {"::1", false}}},
      {"2001:db8::/32,127.0.0.1", {}, {{"2001:db8:1::5", true}, {"127.0.0.1", true}, {"127.0.0.2", false}}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> problems;
    NetworkList list = AllowedNetworks(c.text, problems);
    EXPECT_EQ(problems, c.problems) << '"' << c.text << '"';
    for (auto [address, want] : c.served) {
      EXPECT_EQ(list.Contains(*ParseIpAddress(address)), want) << address << " with \"" << c.text << '"';
    }
  }
}

TEST_F(SettingsTest, AllowIsReadWithTheStartupSettings) {
  RegistryKey key = SettingsKey();
  key.Write("Allow", "192.0.2.0/24 nonsense");
  LoadedSettings loaded = LoadSettings(key);
  EXPECT_EQ(loaded.problems, std::vector<std::string>{"Allow: invalid entry ignored: nonsense"});
  EXPECT_TRUE(loaded.settings.Allow.Contains(*ParseIpAddress("192.0.2.9")));
  EXPECT_FALSE(loaded.settings.Allow.Contains(*ParseIpAddress("127.0.0.1")));
  EXPECT_EQ(key.Read("Allow"), "192.0.2.0/24 nonsense") << "kept as typed";
  key.Write("Allow", "");
  loaded = LoadSettings(key);
  EXPECT_TRUE(loaded.problems.empty());
  EXPECT_TRUE(loaded.settings.Allow.Contains(*ParseIpAddress("127.0.0.1")));

  // A store that is there but cannot be read is named, not taken for an empty one. A folder in
  // its place stands for one the program may not read (the tests may run as root).
  ASSERT_TRUE(RemoveFile(key.FilePath()));
  ASSERT_TRUE(MakeDirectories(key.FilePath()));
  EXPECT_EQ(LoadSettings(key).problems,
            std::vector<std::string>{"Error : can't read the settings in " + key.FilePath() + ": Is a directory"});
}

TEST_F(SettingsTest, BooleansAreTrueOnlyForExactlyOne) {
  RegistryKey key = SettingsKey();
  struct Case {
    const char* text;
    bool want;
  };
  const Case cases[] = {{"1", true}, {"1 ", false}, {"01", false}, {"true", false}, {"0", false}, {"", false}};
  for (const Case& c : cases) {
    key.Write("Minimize", c.text);
    key.Write("Logrec", c.text);
    key.Write("REAL_RELAY", c.text);
    Settings settings = LoadSettings(key).settings;
    EXPECT_EQ(settings.Minimize, c.want) << c.text;
    EXPECT_EQ(settings.Logrec, c.want) << c.text;
    EXPECT_EQ(settings.REAL_RELAY, c.want) << c.text;
  }
}

TEST_F(SettingsTest, RelayTextsAreTakenAsStored) {
  RegistryKey key = SettingsKey();
  key.Write("SMTP", " relay.example:2525 ");
  key.Write("DNS", "10.0.0.53");
  key.Write("Alternate", "backup.example");
  Settings settings = ReloadRelaySettings(key, Settings());
  EXPECT_EQ(settings.SMTP, " relay.example:2525 ");
  EXPECT_EQ(settings.DNS, "10.0.0.53");
  EXPECT_EQ(settings.Alternate, "backup.example");
}

}  // namespace
}  // namespace vellomar

namespace vellomar {
namespace {

// The store values the manual page defines: the words of each term (the line after ".TP") of
// its STORE VALUES section, the quoted separators between them left out.
std::vector<std::string> ManualPageValues(const std::string& page) {
  size_t from = page.find("\n.SH STORE VALUES\n");
  size_t to = page.find("\n.SH ", from + 1);
  std::vector<std::string> values;
  if (from == std::string::npos) return values;
  std::istringstream section(page.substr(from, to - from));
  std::string line;
  bool term = false;
  while (std::getline(section, line)) {
    if (term && line.rfind(".B", 0) == 0) {
      std::istringstream words(line.substr(line.find(' ') + 1));
      std::string word;
      while (words >> std::quoted(word)) {
        if (word.find_first_of(", ") == std::string::npos) values.push_back(word);
      }
    }
    term = line == ".TP";
  }
  return values;
}

// Each store value is described exactly once in the manual page, so that the page cannot fall
// behind the settings table again; and the page names what else the program does.
TEST(ManualPageTest, EveryStoreValueOnceAndEveryCommandSignalAndFile) {
  auto page = ReadWholeFile(VELLOMAR_MANUAL_PAGE);
  ASSERT_TRUE(page.ok()) << VELLOMAR_MANUAL_PAGE;
  const std::vector<std::string> described = ManualPageValues(page.value());
  std::set<std::string> keys;
  for (const SettingRow& row : SettingRows()) {
    keys.insert(std::string(row.key));
    EXPECT_EQ(std::count(described.begin(), described.end(), row.key), 1)
        << row.key << " is to be described once under STORE VALUES";
  }
  for (const std::string& value : described) EXPECT_EQ(keys.count(value), 1u) << value << " is no store value";
  for (const char* named : {"\\-\\-status", "\\-\\-json", "\\-\\-sign\\-in", "\\-\\-device", "\\-\\-account",
                            "\\-\\-queue", "\\-\\-deliver\\-now", "\\-\\-add\\-user", "SIGUSR1", "SIGUSR2",
                            "signin\\-*.token", "status.json", "SSL_CERT_FILE", "VELLOMAR_DROP", "VELLOMAR_DIR",
                            "VELLOMAR_REGISTRY", "VELLOMAR_SMTP_PORT"}) {
    EXPECT_NE(page.value().find(named), std::string::npos) << "the page does not name " << named;
  }
}

}  // namespace
}  // namespace vellomar
