#include "common/local_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/aliases.h"

namespace vellomar {
namespace {

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : "|") + item;
  return text;
}

constexpr const char* kAliases =
    "# the system's own names\n"
    "postmaster: root\n"
    "MAILER-DAEMON: postmaster\n"
    "root: jane\n"
    "jane: jane, jane@provider.example\n"
    "team: jane,\n"
    "  \"bob smith\"@x.example, nobody\n"
    "loop-a: loop-b\n"
    "loop-b: loop-a\n"
    "d1: d2\nd2: d3\nd3: d4\nd4: d5\nd5: d6\nd6: d7\nd7: d8\nd8: d9\nd9: d10\nd10: d11\nd11: end\n"
    "pipe: |/usr/bin/procmail, kept@x.example\n"
    "broken line without a colon\n"
    "root: again@x.example\n";

TEST(LocalNamesTest, RecipientsGoThroughTheAliasesToTheAdminOrTheLocalDomain) {
  AliasTable aliases = ParseAliases(kAliases, "aliases");
  struct Case {
    const char* address;
    const char* admin;
    const char* addresses;
    const char* refusal;  // a part of it, "" when none
  };
  const Case cases[] = {
      {"MAILER-DAEMON", "", "jane@mypc.example|jane@provider.example", ""},
      {"root@MyPC.example", "", "jane@mypc.example|jane@provider.example", ""},
      {"root", "admin@provider.example", "admin@provider.example|jane@provider.example", ""},
      {"team", "", "jane@mypc.example|jane@provider.example|\"bob smith\"@x.example|nobody@mypc.example", ""},
      {"cron", "", "cron@mypc.example", ""},
      {"cron", "admin@provider.example", "admin@provider.example", ""},
      {"someone@provider.example", "admin@provider.example", "someone@provider.example", ""},
      {"loop-a", "", "", "alias loop: loop-a -> loop-b -> loop-a"},
      {"d1", "", "", "nested deeper than 10"},
      {"d2", "", "end@mypc.example", ""},
      {"pipe", "", "kept@x.example", ""},
  };
  for (const Case& c : cases) {
    LocalNameRules rules{"mypc.example", c.admin, ""};
    Resolution got = ResolveRecipient(c.address, aliases, rules);
    EXPECT_EQ(Joined(got.addresses), c.addresses) << c.address;
    if (*c.refusal == '\0') {
      EXPECT_EQ(got.refusal, "") << c.address;
    } else {
      EXPECT_NE(got.refusal.find(c.refusal), std::string::npos) << c.address << ": " << got.refusal;
    }
  }
  // Each line that could not be used is named, and the first of two entries holds.
  EXPECT_EQ(aliases.problems.size(), 3u) << Joined(aliases.problems);
  EXPECT_EQ(Joined(*aliases.Find("ROOT")), "jane");
}

TEST(LocalNamesTest, LocalSendersBecomeWhatAProviderTakes) {
  struct Case {
    const char* address;
    const char* localSender;
    const char* sender;
  };
  const Case cases[] = {
      {"jane", "", "jane@mypc.example"},
      {"jane", "me@provider.example", "me@provider.example"},
      {"root@mypc.example", "me@provider.example", "me@provider.example"},
      {"root@mypc.example", "", "root@mypc.example"},
      {"jane@provider.example", "me@provider.example", "jane@provider.example"},
      {"", "me@provider.example", ""},  // the null sender stays null
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ResolveSender(c.address, LocalNameRules{"mypc.example", "", c.localSender}), c.sender) << c.address;
  }
}

}  // namespace
}  // namespace vellomar
