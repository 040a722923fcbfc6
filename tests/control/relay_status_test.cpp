#include "control/relay_status.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/status_report.h"
#include "sign_in/sign_ins.h"
#include "sign_in/token_store.h"
#include "platform/file_system.h"
#include "relay/program_lock.h"
#include "relay/status_file.h"
#include "support/temp_dir.h"

namespace vellomar {
namespace {

using Json = nlohmann::json;

constexpr int64_t kHour = 3600;

// A folder as a relay leaves it, made by hand: spool files, the status file, the pacing
// counts, a token file, and the program lock held by this process when a relay is to run.
struct Folder {
  test::TempDir dir;
  std::time_t now = std::time(nullptr);
  Settings settings;
  FileDescriptor lock;
  RelayStatusFile relay;

  // The relay runs (this process holds the lock) and says so in its status file.
  void Run() {
    auto taken = TakeProgramLockFile(dir.File("vellomar.lock"));
    ASSERT_TRUE(taken.ok());
    lock = std::move(taken.value());
    relay.pid = ::getpid();
    relay.started = now - 2 * kHour;
    relay.ports = {2525, 2465};
    WriteStatus();
  }
  void WriteStatus() const { dir.Write(kStatusFile, StatusFileText(relay)); }

  // A message that came `age` seconds ago from `sender`, its recipients with their letters.
  void Message(const std::string& name, int64_t age, const std::string& sender,
               const std::vector<std::string>& recipients) const {
    std::string text = "HELO client\r\nMAIL FROM:" + sender + "\r\n";
    for (const std::string& recipient : recipients) text += recipient + "\r\n";
    std::time_t arrival = now - age;
    std::tm utc{};
    gmtime_r(&arrival, &utc);
    char date[64];
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S +0000", &utc);
    text += "DATA\r\nReceived: from client ([127.0.0.1])\r\n\tby relay with Vellomar; " + std::string(date) +
            "\r\nSubject: test\r\n\r\nbody\r\n.\r\nQUIT\r\n";
    dir.Write(name, text);
  }

  // An account whose sign-in is Vellomar's to make, with a mailbox of its own.
  void SignInAccount(Settings& values, const std::string& mailbox) const {
    values.SMTP = "smtp.example.org:587";
    values.SMTP_User = mailbox;
    values.SMTP_OAuth = "custom";
    values.SMTP_OAuthClientId = "client";
    values.SMTP_OAuthScope = "smtp";
    values.SMTP_OAuthTokenUrl = "https://auth.example.org/token";
    values.SMTP_OAuthAuthorizeUrl = "https://auth.example.org/authorize";
  }
  std::string TokenFile(const Settings& values) const {
    SignInValues made = NextRelaySignIn(values);
    return TokenFilePath(dir.path(), vellomar::SignInAccount(*SignInProvider(made).provider, made.mailbox));
  }
  void AddAccount(const std::string& name, const std::string& senders, const std::function<void(Settings&)>& edit) {
    auto values = std::make_shared<Settings>(settings);
    values->Senders = senders;
    edit(*values);
    settings.Accounts.push_back({name, values});
  }

  // Where the files are read from: the folder, unless a case looks elsewhere.
  std::string look = dir.path();
  RelayStatus Gather() const { return GatherStatus({look, dir.path(), now, false}, settings); }
};

struct Field {
  const char* pointer;
  Json want;
};

struct Case {
  const char* name;
  std::function<void(Folder&)> prepare;
  Health health;
  std::vector<Field> fields;
};

// `vellomar --status` over folders prepared as a relay leaves them: the verdict a monitoring
// check gets, and the JSON object field by field.
TEST(RelayStatusTest, PreparedFoldersGiveTheirVerdictAndFields) {
  const Case cases[] = {
      {"empty, running",
       [](Folder& f) { f.Run(); },
       Health::Ok,
       {{"/status", "ok"}, {"/exitStatus", 0}, {"/problems", Json::array()}, {"/running", true},
        {"/ports", {2525, 2465}}, {"/messages", 0}, {"/oldestAgeSeconds", nullptr}, {"/nextTry", nullptr},
        {"/spool/writable", true}, {"/spool/lastTrouble", nullptr}, {"/accounts/0/name", "default"},
        {"/accounts/0/signIn", "none"}, {"/accounts/0/lastSuccess", nullptr}}},
      {"not running",
       [](Folder& f) {
         f.relay.pid = 1;  // a status file left by a run long gone says nothing
         f.relay.ports = {25};
         f.WriteStatus();
       },
       Health::Critical,
       {{"/status", "critical"}, {"/exitStatus", 2}, {"/running", false}, {"/pid", nullptr}, {"/since", nullptr},
        {"/ports", Json::array()}}},
      {"deferred, with the running relay's next try and last failure",
       [](Folder& f) {
         f.Run();
         f.Message("100.tml", 300, "<ann@example.org>", {"XCPT TO:<done@example.net>", "SCPT TO:<bob@example.net>"});
         f.Message("101.tml", 60, "<ann@example.org>", {"RCPT TO:<cy@example.net>"});
         f.relay.nextTries["100.TML"] = f.now + 240;
         f.relay.accounts["default"] = {f.now - 100, f.now - 300, "relay.example: 451 4.3.2 try later", false, false};
         f.WriteStatus();
       },
       Health::Ok,
       {{"/messages", 2}, {"/recipients/due", 1}, {"/recipients/deferred", 1}, {"/recipients/paced", 0},
        {"/nextTry", "now+240"}, {"/oldestAgeSeconds", 300}, {"/accounts/0/messages", 2},
        {"/accounts/0/lastFailureReason", "relay.example: 451 4.3.2 try later"},
        {"/accounts/0/lastSuccess", "now-100"}, {"/since", "now-7200"}, {"/accounts/0/recipients/deferred", 1}}},
      {"paced by its account",
       [](Folder& f) {
         f.Run();
         f.AddAccount("shop", "*@shop.example", [](Settings& v) { v.MaxPerMinute = 1; });
         int64_t sent = (static_cast<int64_t>(f.now) - 10) * 1000;
         f.dir.Write("pacing.json", R"({"version":1,"accounts":{"shop":{"messages":[)" + std::to_string(sent) +
                                        R"(],"recipients":[]}}})");
         f.Message("200.tml", 30, "<orders@shop.example>", {"RCPT TO:<a@example.net>", "RCPT TO:<b@example.net>"});
       },
       Health::Ok,
       {{"/recipients/paced", 2}, {"/recipients/due", 0}, {"/accounts/1/name", "shop"}, {"/accounts/1/messages", 1},
        {"/accounts/1/pace/messagesLastMinute", 1}, {"/accounts/1/pace/maxPerMinute", 1},
        {"/accounts/1/pacedUntil", "now+50"}, {"/accounts/0/messages", 0}}},
      {"waiting for a sign-in never made",
       [](Folder& f) {
         f.Run();
         f.SignInAccount(f.settings, "ann@example.org");
         f.Message("300.tml", 30, "<ann@example.org>", {"RCPT TO:<a@example.net>"});
       },
       Health::Warning,
       {{"/status", "warning"}, {"/exitStatus", 1}, {"/recipients/signIn", 1}, {"/accounts/0/signIn", "not-signed-in"},
        {"/problems", {"account default: not signed in"}}}},
      {"a sign-in made, and one the running relay found expired",
       [](Folder& f) {
         f.Run();
         f.SignInAccount(f.settings, "ann@example.org");
         f.AddAccount("gmail", "*@gmail.example", [&f](Settings& v) { f.SignInAccount(v, "ann@gmail.example"); });
         f.dir.Write(f.TokenFile(f.settings).substr(f.dir.path().size() + 1), "refresh\n");
         f.dir.Write(f.TokenFile(*f.settings.Accounts[0].values).substr(f.dir.path().size() + 1), "refresh\n");
         f.relay.accounts["gmail"].signInNeeded = true;
         f.WriteStatus();
         f.Message("301.tml", 30, "<ann@gmail.example>", {"RCPT TO:<a@example.net>"});
       },
       Health::Warning,
       {{"/accounts/0/signIn", "signed-in"}, {"/accounts/1/signIn", "expired"}, {"/recipients/signIn", 1},
        {"/problems", {"account gmail: its sign-in must be made again"}}}},
      {"an old message: a warning after WarnAfter",
       [](Folder& f) {
         f.Run();
         f.Message("400.tml", 2 * kHour, "<ann@example.org>", {"TCPT TO:<a@example.net>"});
       },
       Health::Warning,
       {{"/oldestAgeSeconds", 2 * kHour}, {"/problems", {"the oldest message has waited 2h 00m (WarnAfter 1h 00m)"}}}},
      {"a message older than CriticalAfter, and a notice aged from its file",
       [](Folder& f) {
         f.Run();
         f.Message("500.tml", 26 * kHour, "<ann@example.org>", {"UCPT TO:<a@example.net>"});
         f.dir.Write("501.tml", "HELO relay\r\nMAIL FROM:<>\r\nRCPT TO:<ann@example.org>\r\nDATA\r\n\r\nx\r\n.\r\nQUIT\r\n");
       },
       Health::Critical,
       {{"/oldestAgeSeconds", 26 * kHour}, {"/messages", 2},
        {"/problems", {"the oldest message has waited 1d 02h (CriticalAfter 1d 00h)"}}}},
      {"a relay that could not write its spool lately",
       [](Folder& f) {
         f.Run();
         f.relay.spoolTroubleAt = f.now - 60;
         f.relay.spoolTrouble = "can't write spool file 1.tml: No space left on device";
         f.WriteStatus();
       },
       Health::Critical,
       {{"/spool/lastTrouble/reason", "can't write spool file 1.tml: No space left on device"},
        {"/problems", {"can't write spool file 1.tml: No space left on device"}}}},
      {"an unreadable folder (a file stands in: root reads any folder)",
       [](Folder& f) {
         f.dir.Write("file", "not a folder");
         f.look = f.dir.File("file");
       },
       Health::Unknown,
       {{"/status", "unknown"}, {"/exitStatus", 3}, {"/running", nullptr}, {"/spool/writable", nullptr},
        {"/messages", 0}, {"/problems", {"can't read " + std::string("%folder%") + ": Not a directory"}}}},
      {"an unwritable spool folder",
       [](Folder& f) {
         f.Run();
         ASSERT_EQ(::chmod(f.dir.path().c_str(), 0500), 0);
       },
       Health::Critical,
       {{"/spool/writable", false}, {"/problems", {"the spool folder cannot be written"}}}},
  };
  for (const Case& c : cases) {
    Folder folder;
    c.prepare(folder);
    RelayStatus status = folder.Gather();
    (void)::chmod(folder.dir.path().c_str(), 0700);  // for the folder's removal
    EXPECT_EQ(status.health, c.health) << c.name << ": " << StatusText(status, folder.settings);
    Json json = Json::parse(StatusJson(status));
    EXPECT_EQ(json["folder"], folder.dir.path()) << c.name;
    for (const Field& field : c.fields) {
      Json::json_pointer pointer(field.pointer);
      ASSERT_TRUE(json.contains(pointer)) << c.name << ": no " << field.pointer << " in " << json.dump(2);
      // "now+240": a time, that long after the folder's moment.
      Json want = field.want;
      if (want.is_array() && !want.empty() && want[0].is_string()) {
        std::string text = want[0].get<std::string>();
        if (size_t at = text.find("%folder%"); at != std::string::npos) want[0] = text.replace(at, 8, folder.dir.path());
      }
      if (want.is_string() && want.get<std::string>().rfind("now", 0) == 0) {
        want = static_cast<int64_t>(folder.now) + std::stoll(want.get<std::string>().substr(3));
      }
      EXPECT_EQ(json[pointer], want) << c.name << ": " << field.pointer;
    }
  }
}

}  // namespace
}  // namespace vellomar
