#include "relay/drop_intake.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "spool/drop_file.h"
#include "support/relay_fixture.h"

namespace vellomar {
namespace {

class DropIntakeTest : public test::RelayFixture {
 protected:
  std::string Drop(const DropEnvelope& envelope, const std::string& data) {
    auto writer = DropWriter::Create(folder, envelope);
    EXPECT_TRUE(writer);
    if (!writer) return "";
    EXPECT_TRUE(writer.value().Append(data));
    EXPECT_TRUE(writer.value().Finish());
    return writer.value().name();
  }
  std::vector<std::string> Files(const std::string& where, const std::string& suffix) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(where)) {
      std::string name = entry.path().filename();
      if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        names.push_back(name);
      }
    }
    return names;
  }

  std::string folder = appDir().File("drop");
};

// Only a whole file of the user's own, with addresses a mail path holds, is taken in; every
// other is logged and removed, and a hand-over still being written is left to its writer.
TEST_F(DropIntakeTest, OnlyWholeFilesOfTheirOwnAreTakenIn) {
  Configure([&](Settings& s) {
    s.LocalDomain = "mypc.example";
    s.AdminAddress = "admin@provider.example";
    s.Aliases = appDir().File("no-aliases");
  });
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  std::string good = Drop(DropEnvelope{false, "", "", {"root", "bob@other.example"}}, "Subject: good\n\nhi\n.x\n");
  std::string linked = Drop(DropEnvelope{false, "", "", {"root"}}, "Subject: linked\n\n");
  ASSERT_EQ(::link((folder + "/" + linked).c_str(), appDir().File("elsewhere").c_str()), 0);
  std::string symlinked = "msg.0123456789abcdef0123456789abcdef";
  ASSERT_EQ(::symlink(appDir().File("elsewhere").c_str(), (folder + "/" + symlinked).c_str()), 0);
  std::string damaged = Drop(DropEnvelope{false, "", "", {"root"}}, "Subject: damaged\n\n");
  ASSERT_EQ(::truncate((folder + "/" + damaged).c_str(), 40), 0);
  std::string unfit = "msg.ffffffffffffffffffffffffffffffff";
  appDir().Write("drop/" + unfit, "Vellomar-Drop: 1\nSize: 00000000000000000000\nRecipient: a b@x\n\n");
  // Any user may write the folder: a size no writer makes, taken first, stops nothing.
  std::string oversized = "msg.00000000000000000000000000000000";
  appDir().Write("drop/" + oversized, "Vellomar-Drop: 1\nSize: 99999999999999999999\nRecipient: root\n\nx");
  std::string folder1 = "msg.10000000000000000000000000000000";
  ASSERT_EQ(::mkdir((folder + "/" + folder1).c_str(), 0700), 0);
  std::string hops;
  for (int i = 0; i < 51; ++i) hops += "Received: by loop" + std::to_string(i) + "; Sun, 6 Dec 2026 8:05:03 +0100\n";
  std::string looped = Drop(DropEnvelope{false, "", "", {"root"}}, hops + "Subject: looped\n\n");
  auto pending = DropWriter::Create(folder, DropEnvelope{false, "", "", {"root"}});
  ASSERT_TRUE(pending);

  DropIntake intake(relay(), folder);
  EXPECT_TRUE(intake.TakeInAll());
  std::string log = LogContent();
  struct Case {
    std::string name;
    std::string logged;
  };
  const Case cases[] = {
      {good, "Took in " + good + " from uid " + std::to_string(::getuid())},
      {linked, linked + " refused (not a file of its own), removed"},
      {symlinked, symlinked + " refused (a symbolic link), removed"},
      {damaged, damaged + " refused (incomplete or damaged), removed"},
      {unfit, unfit + " refused (an address a mail path cannot hold), removed"},
      {oversized, oversized + " refused (incomplete or damaged), removed"},
      {folder1, folder1 + " refused (not a file of its own), removed"},
      {looped, looped + " refused (5.4.6 Too many hops, a mail loop), removed"},
  };
  for (const Case& c : cases) {
    EXPECT_NE(log.find(c.logged), std::string::npos) << c.logged << "\n" << log;
    EXPECT_FALSE(appDir().Exists("drop/" + c.name)) << c.name;
  }
  EXPECT_TRUE(appDir().Exists("elsewhere")) << "what a link pointed at is no business of the intake";
  EXPECT_EQ(Files(folder, "").size(), 1u) << "the hand-over still being written stays";

  std::vector<std::string> spooled = Files(appDir().path(), ".tml");
  ASSERT_EQ(spooled.size(), 1u);
  std::string stored = appDir().Read(spooled[0]);
  const std::string envelope = "HELO mypc.example\r\nMAIL FROM:<";
  EXPECT_EQ(stored.rfind(envelope, 0), 0u) << stored;
  // The dispatcher may have begun on it: a recipient line's first letter is its state.
  EXPECT_NE(stored.find("CPT TO:<admin@provider.example>\r\n"), std::string::npos) << stored;
  EXPECT_NE(stored.find("CPT TO:<bob@other.example>\r\nDATA\r\n"), std::string::npos) << stored;
  EXPECT_NE(stored.find("\r\nSubject: good\r\n"), std::string::npos) << stored;
  EXPECT_NE(stored.find("\r\n\r\nhi\r\n..x\r\n.\r\nQUIT\r\n"), std::string::npos) << stored;
  // Taken in again, nothing more is stored.
  EXPECT_TRUE(intake.TakeInAll());
  EXPECT_EQ(Files(appDir().path(), ".tml").size(), 1u);
}

// What cannot be removed (a folder that holds something) is said once, however many passes
// meet it, and passed over; once gone, a new entry under the name is looked at afresh.
TEST_F(DropIntakeTest, AnEntryThatCannotBeRemovedIsNamedOnce) {
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::string name = "msg.20000000000000000000000000000000";
  ASSERT_EQ(::mkdir((folder + "/" + name).c_str(), 0700), 0);
  appDir().Write("drop/" + name + "/inside", "kept");
  DropIntake intake(relay(), folder);
  for (int pass = 0; pass < 3; ++pass) EXPECT_TRUE(intake.TakeInAll());
  const std::string said = name + " refused (not a file of its own), and it cannot be removed: ";
  std::string log = LogContent();
  ASSERT_NE(log.find(said), std::string::npos) << log;
  EXPECT_EQ(log.find(said, log.find(said) + 1), std::string::npos) << "said once\n" << log;
  EXPECT_TRUE(appDir().Exists("drop/" + name + "/inside")) << "what the folder holds is not the intake's";

  ASSERT_EQ(::unlink((folder + "/" + name + "/inside").c_str()), 0);
  ASSERT_EQ(::rmdir((folder + "/" + name).c_str()), 0);
  EXPECT_TRUE(intake.TakeInAll());  // the name is forgotten
  appDir().Write("drop/" + name, "not a hand-over");
  EXPECT_TRUE(intake.TakeInAll());
  EXPECT_NE(LogContent().find(name + " refused (incomplete or damaged), removed"), std::string::npos) << LogContent();
  EXPECT_FALSE(appDir().Exists("drop/" + name));
}

}  // namespace
}  // namespace vellomar
