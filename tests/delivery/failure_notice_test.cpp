#include "delivery/failure_notice.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <thread>

#include "common/header_date.h"
#include "delivery_fixture.h"
#include "delivery/notice_leftovers.h"
#include "platform/local_clock.h"
#include "platform/socket.h"

namespace vellomar {
namespace {

class FailureNoticeTest : public test::DeliveryFixture {
 protected:
  FailureNoticeTest() {
    clock.Set(test::LocalTimeOfDay(9, 5, 3));
  }
};

TEST_F(FailureNoticeTest, NoticeTextLineByLine) {
  EXPECT_EQ(NoticeText("RCPT TO:<address>\r\n", "Hello\r\n", "550 No such user"),
            "Vellomar SMTP Server Error !!! \r\n"
            "Mail to :<address>\r\n"
            "(subject : Hello)\r\n"
            "could not be delivered.\r\n"
            "\r\n"
            "Server replyed : \r\n"
            "550 No such user\r\n");
  EXPECT_EQ(NoticeText("", "", "unexpected EOF (missing recipient)").rfind("Vellomar SMTP Server Error !!! \r\nMail to :(subject : )\r\n", 0), 0u);
}

TEST_F(FailureNoticeTest, NoticeIsASpoolFileAddressedToTheSender) {
  // A sender stored by an earlier version with a parameter: the notice names the address alone.
  Spool("1.tml", "x", " <ann@example.org> BODY=8BITMIME\r\n", "Report\r\n");
  EXPECT_TRUE(SendFailureNotice(relay(), "1.tml", "550 No such user", "RCPT TO:<bob@example.org>\r\n"));
  ASSERT_TRUE(appDir().Exists("953.tml"));
  EXPECT_FALSE(appDir().Exists("953")) << "the stem file was renamed";
  const std::string notice = appDir().Read("953.tml");
  EXPECT_EQ(notice.rfind("HELO localhost\r\nMAIL FROM:<>\r\nRCPT To:<ann@example.org>\r\nDATA\r\n", 0), 0u);
  auto host = MachineHostName();
  ASSERT_TRUE(host.ok());
  EXPECT_NE(notice.find("From: Mail Delivery System <MAILER-DAEMON@" + host.value() + ">\r\n"), std::string::npos);
  // The header ends with the Date (the moment, RFC 5322's form) and a Message-ID of its own.
  const std::tm now = test::LocalTimeOfDay(9, 5, 3);
  const std::string header = notice.substr(0, notice.find("\r\n\r\n") + 2);
  EXPECT_NE(header.find("\r\nDate: " + HeaderDate(now, now.tm_gmtoff) + "\r\nMessage-ID: <"), std::string::npos) << header;
  EXPECT_EQ(header.substr(header.size() - host.value().size() - 8), ".953@" + host.value() + ">\r\n");
  EXPECT_NE(notice.find("\r\n\r\n" + NoticeText("RCPT TO:<bob@example.org>\r\n", "Report\r\n", "550 No such user") +
                        ".\r\nQUIT\r\n"),
            std::string::npos);
  EXPECT_EQ(notice.substr(notice.size() - 6), "QUIT\r\n");
}

TEST_F(FailureNoticeTest, TemplateRulesAreCaseSensitiveAndStopAtQuit) {
  appDir().Write("error", "HELO h\r\nMAIL FROM:<>\r\nrcpt to:<x>\r\nRCPT TO:<x>\r\nDATA\r\nerror stays\r\n"
                          "Error\r\n.\r\nQUIT\r\nnever copied\r\n");
  Spool("1.tml", "x", "<ann>\r\n");
  EXPECT_TRUE(SendFailureNotice(relay(), "1.tml", "421 busy", "RCPT TO:<b>\r\n"));
  EXPECT_EQ(appDir().Read("953.tml"), "HELO h\r\nMAIL FROM:<>\r\nrcpt to:<x>\r\nRCPT To:<ann>\r\nDATA\r\nerror stays\r\n" +
                                          NoticeText("RCPT TO:<b>\r\n", "Hello\r\n", "421 busy") + ".\r\nQUIT\r\n");

  appDir().Write("error", "HELO h\r\nMAIL FROM:<>\r\nRCPT TO:<x>\r\nDATA\r\nError\r\n.\r\n");
  EXPECT_TRUE(SendFailureNotice(relay(), "1.tml", "421 busy", "RCPT TO:<b>\r\n"));
  EXPECT_TRUE(appDir().Exists("953_0.tml")) << "a template without QUIT still gives a queued notice";
}

// Once local names are set up, a notice to a local sender goes where its mail would: through
// the aliases, to the admin address; any other sender is told as it was.
TEST_F(FailureNoticeTest, ALocalSendersNoticeGoesThroughTheAliases) {
  appDir().Write("aliases", "ann: ann, ann@provider.example\n");
  Configure([&](Settings& s) {
    s.Aliases = appDir().File("aliases");
    s.LocalDomain = "mypc.example";
    s.AdminAddress = "admin@provider.example";
  });
  struct Case {
    const char* sender;
    const char* recipients;
  };
  const Case cases[] = {
      {"<ann>\r\n", "RCPT To:<admin@provider.example>\r\nRCPT To:<ann@provider.example>\r\n"},
      {"<root@MyPC.example>\r\n", "RCPT To:<admin@provider.example>\r\n"},
      {"<bob@other.example>\r\n", "RCPT To:<bob@other.example>\r\n"},
  };
  std::set<std::string> seen;
  int number = 0;
  for (const Case& c : cases) {
    const std::string name = std::to_string(++number) + ".tml";
    Spool(name, "x", c.sender);
    ASSERT_TRUE(SendFailureNotice(relay(), name, "550 no", "RCPT TO:<b@x.example>\r\n")) << c.sender;
    // The notice is the one spool file that is neither a message nor a notice seen before.
    std::string notice;
    for (const auto& entry : std::filesystem::directory_iterator(appDir().path())) {
      std::string file = entry.path().filename();
      if (file.rfind("953", 0) == 0 && seen.insert(file).second) notice = appDir().Read(file);
    }
    EXPECT_EQ(notice.substr(0, notice.find("DATA\r\n")),
              std::string("HELO localhost\r\nMAIL FROM:<>\r\n") + c.recipients) << c.sender;
  }
}

TEST_F(FailureNoticeTest, NoNoticeAboutANoticeNorForAnUnknownSender) {
  Spool("1.tml", "x", "<>\r\n");
  Spool("3.tml", "x", " <>\r\n");  // the null sender as earlier versions stored a blank after the colon
  Spool("4.tml", "x", "<> BODY=8BITMIME\r\n");
  EXPECT_TRUE(SendFailureNotice(relay(), "3.tml", "550 no", "RCPT TO:<b>\r\n"));
  EXPECT_TRUE(SendFailureNotice(relay(), "4.tml", "550 no", "RCPT TO:<b>\r\n"));
  Spool("2.tml", "x", "");  // no MAIL line in the file
  EXPECT_TRUE(SendFailureNotice(relay(), "1.tml", "550 no", "RCPT TO:<b>\r\n"));
  EXPECT_TRUE(SendFailureNotice(relay(), "2.tml", "550 no", "RCPT TO:<b>\r\n"));
  EXPECT_FALSE(SendFailureNotice(relay(), "gone.tml", "550 no", "RCPT TO:<b>\r\n"));
  EXPECT_EQ(Notices("1.tml").size(), 3u) << "only 2.tml, 3.tml and 4.tml themselves";
  EXPECT_NE(LogContent().find("Error : no sender known for gone.tml\r\n"), std::string::npos);
  EXPECT_NE(LogContent().find("Error : no sender known for 2.tml\r\n"), std::string::npos);
}

TEST_F(FailureNoticeTest, MissingTemplateLeavesNothingBehind) {
  ASSERT_TRUE(RemoveFile(appDir().File("error")));
  Spool("1.tml", "x");
  EXPECT_FALSE(SendFailureNotice(relay(), "1.tml", "550 no", "RCPT TO:<b>\r\n"));
  EXPECT_EQ(Notices("1.tml").size(), 0u);
  EXPECT_FALSE(appDir().Exists("953"));
  EXPECT_NE(LogContent().find("Error : can't write failure notice for 1.tml (template error: No such file or directory), "
                              "tried again next run\r\n"),
            std::string::npos);
}

TEST_F(FailureNoticeTest, NeverReplacesAnotherSpoolFile) {
  Spool("1.tml", "x");
  // The final name appears while the notice is being written: the rename must not take it.
  appDir().Write("953.tml", "a reception's file");
  EXPECT_TRUE(SendFailureNotice(relay(), "1.tml", "550 no", "RCPT TO:<b>\r\n"));
  EXPECT_EQ(appDir().Read("953.tml"), "a reception's file");
  EXPECT_TRUE(appDir().Exists("953_0.tml"));
}

TEST_F(FailureNoticeTest, NoticesWrittenAtOnceGetFilesOfTheirOwn) {
  Spool("1.tml", "x");
  std::vector<std::thread> workers;
  for (int i = 0; i < 8; ++i) {
    workers.emplace_back([this, i] {
      EXPECT_TRUE(SendFailureNotice(relay(), "1.tml", "550 no " + std::to_string(i), "RCPT TO:<b" + std::to_string(i) + ">\r\n"));
    });
  }
  for (auto& worker : workers) worker.join();
  std::set<std::string> reasons;
  for (const std::string& notice : Notices("1.tml")) {
    std::string text = appDir().Read(notice);
    size_t at = text.find("550 no ");
    ASSERT_NE(at, std::string::npos) << notice;
    reasons.insert(text.substr(at, 8));
  }
  EXPECT_EQ(reasons.size(), 8u);
  EXPECT_EQ(Notices("1.tml").size(), 8u);
}

TEST_F(FailureNoticeTest, AClashingNameGivesWayToAFreshReservedOne) {
  std::string name;
  {
    name = relay().queue.NewSpoolName(true);
  }
  ASSERT_EQ(name, "953.tml");
  appDir().Write("953", "HELO localhost\r\nQUIT\r\n");
  appDir().Write("953.tml", "not ours");  // appeared behind the list's back
  ASSERT_TRUE(QueueNoticeFile(relay().queue, "953", name));
  EXPECT_EQ(name, "953_0.tml");
  EXPECT_EQ(appDir().Read("953.tml"), "not ours");
  EXPECT_EQ(appDir().Read("953_0.tml"), "HELO localhost\r\nQUIT\r\n");
  EXPECT_EQ(relay().queue.size(), 0u) << "every name it took was released once the file had it";
}

TEST_F(FailureNoticeTest, LeftoversOfACrashAreQueuedOrRemovedAndNothingElseIsTouched) {
  auto tpl = ReadWholeFile(appDir().File("error"));
  const std::string complete = tpl.value().substr(0, tpl.value().find("QUIT") + 6);
  const std::string cutShort = complete.substr(0, complete.size() / 2);
  struct Entry {
    std::string name;
    std::string content;
    bool stays;  // left exactly as it was
  };
  const Entry entries[] = {
      {"811", complete, false},          // complete: queued
      {"811_3", cutShort, false},        // cut short: removed
      {"812", "", false},                // created, nothing written: removed
      {"logfile", "", true},             // (truncated by the fixture's log; only its presence counts)
      {"vellomar.lock", "", true},
      {"store.tmp", complete, true},
      {"813", "a file of someone else\r\nQUIT\r\n", true},
      {"81a", complete, true},
      {"814.bak", complete, true},
      {"_815", complete, true},
  };
  for (const Entry& e : entries) {
    if (e.name != "logfile") appDir().Write(e.name, e.content);
  }
  ASSERT_EQ(::mkdir(appDir().File("816").c_str(), 0755), 0);
  QueueLeftoverNotices(relay());
  for (const Entry& e : entries) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(appDir().Exists(e.name), e.stays);
    if (e.stays && e.name != "logfile") {
      EXPECT_EQ(appDir().Read(e.name), e.content);
    }
  }
  EXPECT_EQ(appDir().Read("error"), tpl.value());
  EXPECT_TRUE(appDir().Exists("816"));
  ASSERT_TRUE(appDir().Exists("953.tml"));
  EXPECT_EQ(appDir().Read("953.tml"), complete);
  const std::string log = LogContent();
  EXPECT_NE(log.find("Queued failure notice 811 left by an interrupted run as 953.tml\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Removed incomplete failure notice 811_3\r\n"), std::string::npos);
  EXPECT_NE(log.find("Removed incomplete failure notice 812\r\n"), std::string::npos);
  EXPECT_EQ(relay().queue.size(), 0u) << "the queued notice is waiting";
}

}  // namespace
}  // namespace vellomar
