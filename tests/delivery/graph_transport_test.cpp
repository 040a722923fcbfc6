#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

#include "common/graph_limits.h"
#include "delivery/dispatcher.h"
#include "delivery/graph_reply.h"
#include "delivery/worker.h"
#include "delivery_fixture.h"
#include "sign_in/oauth_tokens.h"
#include "sign_in/sign_ins.h"
#include "sign_in/token_store.h"
#include "support/eventually.h"
#include "support/oauth_authority.h"

namespace vellomar {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The Graph stand-in and its token endpoint (one HTTPS server, see oauth_authority.py), made
// before the relay so that the relay's sign-ins trust its certificate.
struct GraphService {
  test::TempDir folder;
  test::OAuthAuthority authority{folder.path()};

  SignInOptions Options() const {
    SignInOptions options;
    options.http.authorityFile = authority.authorityFile();
    options.http.connect = seconds(5);
    // A stalled reply ends the call within the test's time.
    options.http.whole = seconds(3);
    return options;
  }
};

class GraphTransportTest : protected GraphService, public test::DeliveryFixture {
 protected:
  GraphTransportTest() : DeliveryFixture(GraphService::Options()) {
    EXPECT_TRUE(authority.started());
    Configure([&](Settings& s) {
      s.Transport = "graph";
      s.GraphUrl = authority.Url("/graph/v1.0");
      s.SMTP_User = "alice@example.org";
      s.SMTP_OAuth = "custom";
      s.SMTP_OAuthClientId = "vellomar-tests";
      s.SMTP_OAuthTokenUrl = authority.Url("/token");
      s.SMTP_OAuthDeviceUrl = authority.Url("/device");
      s.SMTP_OAuthScope = "https://graph.microsoft.com/.default";
    });
    // A sign-in made already: its refresh token in the store the relay reads.
    SignIns::Choice choice = relay().delivery().signIns.For(NextRelaySignIn(*relay().settings()));
    EXPECT_NE(choice.tokens, nullptr) << choice.problem;
    auto store = TokenStore::Open(appDir().path(), choice.account, false, milliseconds(1000), stop);
    EXPECT_TRUE(store && store->Save("rt-1"));
    if (choice.tokens) choice.tokens->Reload();
  }

  int RunWorker(const std::string& name) {
    relay().queue.Add(name);
    std::shared_ptr<ThreadHandle> thread = relay().outgoing.Launch(name, [this, name] {
      return relay().threads().Start([this, name](ThreadHandle&) { return WorkerThread(relay(), relay().delivery(), name); });
    });
    EXPECT_NE(thread, nullptr);
    if (thread == nullptr) return -1;
    EXPECT_TRUE(thread->WaitFor(seconds(30)));
    return thread->ExitCode();
  }

  // The messages the stand-in took, each "<mailbox>|<subject>|<recipients>".
  std::vector<std::string> Sent() {
    std::vector<std::string> sent;
    const std::string all = authority.State()["graph_sent"];
    for (size_t start = 0, end; (end = all.find(';', start)) != std::string::npos; start = end + 1) {
      sent.push_back(all.substr(start, end - start));
    }
    return sent;
  }

  // A stored message from s@example.com to the recipient lines, with the header lines given.
  static std::string Message(const std::vector<std::string>& recipients, const std::string& header) {
    std::string file = "HELO client.example\r\nMAIL FROM:<s@example.com>\r\n";
    for (const std::string& r : recipients) file += r + "\r\n";
    return file + "DATA\r\nFrom: S <s@example.com>\r\n" + header + "\r\nHi.\r\n..dotted\r\n.\r\nQUIT\r\n";
  }
};

// Graph sends to whom the header names: every pending envelope recipient gets the message once
// and nobody else. When the header names no one else, one sendMail call, those it leaves out in
// a Bcc: added for the call only; when it names anyone else, a draft whose lists are set to the
// pending recipients, then sent; its failures are settled at each of its calls.
TEST_F(GraphTransportTest, EachPendingEnvelopeRecipientGetsItOnceAndNobodyElse) {
  struct Case {
    const char* what;
    std::vector<std::string> recipients;
    std::string header;
    const char* sent;       // what the stand-in recorded; "" for nothing
    const char* bcc;        // the Bcc: field the call added; "" for none
    const char* leftState;  // the file's recipient letters afterwards; "" when it is gone
    const char* steps;      // the calls made, in order
    FormFields script = {};  // the stand-in's answers for the case
    const char* lists = "";  // the draft's lists as sent
    const char* said = "";   // in the log
    int draftsLeft = 0;
    int notBefore = 0;  // seconds a deferred message's next try waits at least
  };
  const Case cases[] = {
      {"To only", {"RCPT TO:<a@x.example>"}, "To: A <a@x.example>\r\nSubject: to\r\n",
       "alice@example.org|to|a@x.example", "", "", "sendMail,"},
      {"Bcc-only recipients", {"RCPT TO:<a@x.example>", "RCPT TO:<b@y.example>", "RCPT TO:<C@z.example>"},
       "To: a@x.example\r\nSubject: bcc\r\n", "alice@example.org|bcc|b@y.example,C@z.example,a@x.example",
       "Bcc: b@y.example,\r\n C@z.example\r\n", "", "sendMail,"},
      {"a header recipient who is not in the envelope: an alias", {"RCPT TO:<a@x.example>", "RCPT TO:<M@y.example>"},
       "To: a@x.example,\r\n\tlist@x.example\r\nCc: c@x.example\r\nSubject: alias\r\n",
       "alice@example.org|alias|a@x.example,M@y.example", "", "", "create,update,send,", {},
       "to:a@x.example|cc:|bcc:M@y.example"},
      {"a Bcc copy", {"RCPT TO:<b@y.example>"}, "To: a@x.example\r\nCc: c@x.example\r\nSubject: copy\r\n",
       "alice@example.org|copy|b@y.example", "", "", "create,update,send,", {}, "to:|cc:|bcc:b@y.example"},
      {"a retry after a partial delivery, the header naming the one delivered",
       {"XCPT TO:<a@x.example>", "RCPT TO:<b@y.example>", "RCPT TO:<d@y.example>"},
       "To: a@x.example, b@y.example\r\nCc: D@y.example\r\nSubject: partial\r\n",
       "alice@example.org|partial|b@y.example,d@y.example", "", "", "create,update,send,", {},
       "to:b@y.example|cc:d@y.example|bcc:"},
      {"a retry after a partial delivery: the rest only", {"XCPT TO:<a@x.example>", "RCPT TO:<b@y.example>"},
       "Cc: b@y.example\r\nSubject: rest\r\n", "alice@example.org|rest|b@y.example", "", "", "sendMail,"},
      {"a draft's token renewed once at its update", {"RCPT TO:<b@y.example>"}, "To: a@x.example\r\nSubject: renew\r\n",
       "alice@example.org|renew|b@y.example", "", "", "create,update,update,send,", {{"graph_update", "401"}},
       "to:|cc:|bcc:b@y.example"},
      {"no Mail.ReadWrite: the draft refused", {"RCPT TO:<b@y.example>"}, "To: a@x.example\r\nSubject: denied\r\n", "",
       "", "S", "create,", {{"graph_create", "403"}}, "",
       "refused to make a draft (HTTP 403 ErrorAccessDenied: Access is denied. Check credentials and try again.): the "
       "application needs the Mail.ReadWrite permission to send to recipients other than the header's"},
      {"the draft's update refused for good", {"RCPT TO:<b@y.example>"}, "To: a@x.example\r\nSubject: bad\r\n", "", "",
       "", "create,update,delete,", {{"graph_update", "404"}}, "",
       "(setting the draft's recipients): HTTP 404 ErrorInvalidUser: The requested user 'alice@example.org' is "
       "invalid.; the draft was deleted"},
      {"the draft's send asked to wait", {"RCPT TO:<b@y.example>"}, "To: a@x.example\r\nSubject: busy\r\n", "", "", "S",
       "create,update,send,delete,", {{"graph_send", "429"}}, "",
       "(sending the draft) asked to try later: HTTP 429 TooManyRequests: Please retry  later.; the draft was deleted", 0,
       115},
      {"a draft that could not be deleted", {"RCPT TO:<b@y.example>"}, "To: a@x.example\r\nSubject: stuck\r\n", "", "",
       "S", "create,update,send,delete,", {{"graph_send", "503"}, {"graph_delete", "503"}}, "",
       "; the draft could not be deleted (HTTP 503 ServiceUnavailable: Please retry  later.)", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = Sent().size();
    const std::string stepsBefore = authority.State()["graph_steps"];
    const int draftsBefore = authority.Count("graph_drafts");
    if (!c.script.empty()) authority.Set(c.script);
    const std::string stored = Message(c.recipients, c.header);
    Spool("1.tml", stored);
    relay().outgoing.RemoveWorker("1.tml");
    RunWorker("1.tml");
    std::map<std::string, std::string> state = authority.State();
    EXPECT_EQ(state["graph_steps"].substr(stepsBefore.size()), c.steps);
    EXPECT_EQ(authority.Count("graph_drafts") - draftsBefore, c.draftsLeft);
    if (*c.said != '\0') {
      EXPECT_NE(LogContent().find(c.said), std::string::npos) << LogContent();
    }
    std::vector<std::string> sent = Sent();
    if (*c.sent == '\0') {
      EXPECT_EQ(sent.size(), before);
    } else {
      ASSERT_EQ(sent.size(), before + 1);
      // The stand-in lists To:, Cc: and Bcc: in that order; compare as sets.
      std::string got = sent.back();
      std::string want = c.sent;
      auto recipientsOf = [](const std::string& line) {
        std::set<std::string> set;
        std::string list = line.substr(line.rfind('|') + 1);
        for (size_t start = 0, end; start <= list.size(); start = end + 1) {
          end = list.find(',', start);
          if (end == std::string::npos) end = list.size();
          set.insert(list.substr(start, end - start));
        }
        return set;
      };
      EXPECT_EQ(got.substr(0, got.rfind('|')), want.substr(0, want.rfind('|')));
      EXPECT_EQ(recipientsOf(got), recipientsOf(want));
      const std::string header = state["graph_last_header"];
      EXPECT_EQ(header.rfind(c.bcc, 0), 0u) << header;
      if (*c.bcc == '\0') {
        EXPECT_EQ(header.find("Bcc:"), std::string::npos) << header;
      }
      if (*c.lists != '\0') {
        EXPECT_EQ(state["graph_last_lists"], c.lists);
      }
    }
    if (*c.leftState == '\0') {
      EXPECT_FALSE(appDir().Exists("1.tml"));
    } else {
      ASSERT_TRUE(appDir().Exists("1.tml"));
      const std::string left = appDir().Read("1.tml");
      std::string letters;
      for (const std::string& r : c.recipients) letters += left[left.find(r.substr(1))- 1];
      EXPECT_EQ(letters, c.leftState);
      EXPECT_EQ(left.substr(left.find("DATA")), stored.substr(stored.find("DATA")))
          << "the spool file is never changed but for its letters";
      auto record = relay().queue.ScheduleOf("1.tml");
      ASSERT_TRUE(record.has_value());
      EXPECT_EQ(record->tries, 1) << "counted as a try";
      EXPECT_GE(record->nextTry - relay().queue.ScheduleNow(), seconds(c.notBefore));
    }
    for (const std::string& notice : Notices("1.tml")) (void)std::remove(appDir().File(notice).c_str());
    (void)relay().queue.Discard("1.tml", true);  // the next case starts afresh, its file and schedule gone
  }
}

// sendMail's MIME form always leaves a copy in Sent Items; GraphSaveToSent=0 sends through a
// draft marked to be deleted once sent, to the same people.
TEST_F(GraphTransportTest, NoCopyInSentItemsWhenTheAccountSaysSo) {
  for (bool saveToSent : {true, false}) {
    SCOPED_TRACE(saveToSent);
    Configure([&](Settings& s) { s.GraphSaveToSent = saveToSent; });
    const std::string stepsBefore = authority.State()["graph_steps"];
    const int copiesBefore = authority.Count("graph_sent_items");
    Spool("1.tml", Message({"RCPT TO:<a@x.example>", "RCPT TO:<b@y.example>"}, "To: a@x.example\r\nSubject: s\r\n"));
    relay().outgoing.RemoveWorker("1.tml");
    RunWorker("1.tml");
    EXPECT_FALSE(appDir().Exists("1.tml"));
    std::map<std::string, std::string> state = authority.State();
    EXPECT_EQ(state["graph_steps"].substr(stepsBefore.size()), saveToSent ? "sendMail," : "create,update,send,");
    EXPECT_EQ(authority.Count("graph_sent_items") - copiesBefore, saveToSent ? 1 : 0);
    EXPECT_EQ(Sent().back(), "alice@example.org|s|a@x.example,b@y.example") << "the same people either way";
    if (!saveToSent) {
      EXPECT_EQ(state["graph_last_lists"], "to:a@x.example|cc:|bcc:b@y.example");
    }
  }
}

// One reply settles the message: each answer of the service and what it makes of the message.
TEST_F(GraphTransportTest, EachAnswerOfTheServiceIsRecorded) {
  enum class Fate { Delivered, Deferred, GivenUp, Waiting };
  struct Case {
    const char* script;
    Fate fate;
    int calls;
    const char* text;  // in the log or the notice
    int notBefore;     // seconds the next try waits at least
  };
  const Case cases[] = {
      {"ok", Fate::Delivered, 1, "", 0},
      {"401", Fate::Delivered, 2, "", 0},
      // A token got after a refusal and refused too is not renewed at every delivery.
      {"401", Fate::Waiting, 1, "refused the sign-in's token: HTTP 401 InvalidAuthenticationToken", 0},
      {"429", Fate::Deferred, 1, "asked to try later: HTTP 429 TooManyRequests: Please retry  later.", 120},
      {"503", Fate::Deferred, 1, "HTTP 503 ServiceUnavailable", 120},
      {"504", Fate::Deferred, 1, "HTTP 504 ServiceUnavailable", 120},
      {"400size", Fate::GivenUp, 1, "message too large for Microsoft Graph at", 0},
      {"403", Fate::GivenUp, 1, "HTTP 403 ErrorAccessDenied: Access is denied.", 0},
      {"404", Fate::GivenUp, 1, "HTTP 404 ErrorInvalidUser: The requested user 'alice@example.org' is invalid.", 0},
      {"stall", Fate::Deferred, 1, "no complete reply from Microsoft Graph at", 0},
  };
  authority.Set({{"stall", "6"}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    authority.Set({{"graph", c.script}});
    const int calls = authority.Count("graph_calls");
    const int refreshes = authority.Count("refreshes");
    const std::string stored = Message({"RCPT TO:<a@x.example>"}, "To: a@x.example\r\nSubject: s\r\n");
    Spool("2.tml", stored);
    relay().outgoing.RemoveWorker("2.tml");
    RunWorker("2.tml");
    EXPECT_EQ(authority.Count("graph_calls") - calls, c.calls);
    // The first call's token is the sign-in's first; a 401 renews it once.
    if (&c != &cases[0]) {
      EXPECT_EQ(authority.Count("refreshes") - refreshes, c.calls == 2 ? 1 : 0);
    }
    const std::vector<std::string> notices = Notices("2.tml");
    switch (c.fate) {
      case Fate::Delivered:
      case Fate::GivenUp:
        EXPECT_FALSE(appDir().Exists("2.tml"));
        break;
      case Fate::Deferred:
      case Fate::Waiting:
        ASSERT_TRUE(appDir().Exists("2.tml"));
        EXPECT_EQ(appDir().Read("2.tml").find(c.fate == Fate::Deferred ? "SCPT TO:<a@x.example>" : "RCPT TO:<a@x.example>"),
                  stored.find("RCPT TO:<a@x.example>"));
        break;
    }
    EXPECT_EQ(notices.size(), c.fate == Fate::GivenUp ? 1u : 0u);
    if (*c.text != '\0') {
      std::string said = LogContent() + relay().queue.LastError("2.tml", "<a@x.example>");
      for (const std::string& notice : notices) said += appDir().Read(notice);
      EXPECT_NE(said.find(c.text), std::string::npos) << said;
    }
    if (c.fate == Fate::Deferred || c.fate == Fate::Waiting) {
      auto record = relay().queue.ScheduleOf("2.tml");
      ASSERT_TRUE(record.has_value());
      EXPECT_EQ(record->tries, 1) << "counted as a try";
      if (c.notBefore > 0) {
        EXPECT_GE(record->nextTry - relay().queue.ScheduleNow(), seconds(c.notBefore - 5));
      } else {
        EXPECT_LE(record->nextTry - relay().queue.ScheduleNow(), seconds(61));
      }
    }
    for (const std::string& notice : notices) (void)std::remove(appDir().File(notice).c_str());
    (void)relay().queue.Discard("2.tml", true);  // the next case starts afresh, its file and schedule gone
  }
}

// Many messages through the real dispatcher and its workers: each reaches the service once,
// none is lost, whatever the order they go in.
TEST_F(GraphTransportTest, ManyMessagesGoOutOnceEach) {
  ReleaseClient();
  constexpr int kMessages = 120;
  for (int i = 0; i < kMessages; ++i) {
    const std::string n = std::to_string(i);
    appDir().Write("m" + n + ".tml", Message({"RCPT TO:<r" + n + "@x.example>"}, "To: r" + n + "@x.example\r\nSubject: m" + n + "\r\n"));
  }
  Configure([&](Settings& s) { s.Output = 8; });
  // A second run takes whatever the first left waiting (a call that could not connect in time).
  for (int run = 0; run < 2; ++run) {
    relay().queue.MakeAllDue();
    auto dispatcher =
        relay().StartClientThread([this](ThreadHandle& self) { return DispatcherThread(relay(), relay().delivery(), self); });
    ASSERT_NE(dispatcher, nullptr);
    ASSERT_TRUE(dispatcher->WaitFor(seconds(25)));
    EXPECT_TRUE(test::Eventually([this] { return relay().outgoing.size() == 0; }));
    relay().threads().Reap();
  }
  std::map<std::string, int> times;
  for (const std::string& sent : Sent()) ++times[sent];
  EXPECT_EQ(times.size(), static_cast<size_t>(kMessages)) << LogContent();
  for (int i = 0; i < kMessages; ++i) {
    const std::string n = std::to_string(i);
    EXPECT_EQ(times["alice@example.org|m" + n + "|r" + n + "@x.example"], 1) << n;
    EXPECT_FALSE(appDir().Exists("m" + n + ".tml"));
  }
}

// The service's replies are another party's text: bounded, and nothing of it reaches a log
// line that could be mistaken for the relay's own.
TEST(GraphReplyTest, RepliesAreReadWithBounds) {
  struct Case {
    std::string body;
    std::string text;
  };
  const Case cases[] = {
      {R"({"error":{"code":"ErrorAccessDenied","message":"Access is denied."}})", "ErrorAccessDenied: Access is denied."},
      {R"({"error":{"code":"X","message":"line\r\nError : forged"}})", "X: line  Error : forged"},
      {R"({"error":"flat"})", ""},
      {"<html>", ""},
      {"", ""},
      {R"({"error":{"code":5,"message":["a"]}})", ""},
      {R"({"error":{"code":"C","message":")" + std::string(5000, 'm') + R"("}})", "C: " + std::string(300, 'm') + "..."},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseGraphError(c.body).Text(), c.text) << c.body;
  const std::pair<const char*, int> delays[] = {{"120", 120}, {" 5 ", 5}, {"Wed, 09 Dec 2026 07:00:00 GMT", 0},
                                                {"-3", 0},    {"", 0},    {"99999999999", 86400}, {"9999999999999", 0}};
  for (const auto& [value, want] : delays) EXPECT_EQ(RetryAfterOf(value).count(), want) << value;
  EXPECT_EQ(kGraphLargestMime, 3u * 1024 * 1024);
}

}  // namespace
}  // namespace vellomar
