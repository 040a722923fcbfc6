#include "common/text.h"

#include <gtest/gtest.h>

namespace vellomar {
namespace {

TEST(TextTest, CaseIsIgnoredForAsciiLettersOnly) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {
      {"953.TML", "953.tml", true},
      {"rcpt", "RCPT", true},
      {"@", "`", false},   // neighbours of the letter ranges stay apart
      {"[", "{", false},
      {"\xc3\xa9", "\xc3\x89", false},  // é and É: multibyte text is compared as it is
      {"abc", "abcd", false},
      {"", "", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsIgnoreCase(c.a, c.b), c.equal) << c.a << " vs " << c.b;
  }
}

TEST(TextTest, StartsWithIgnoresCaseAndNeedsTheWholePrefix) {
  EXPECT_TRUE(StartsWithIgnoreCase("subject: hi", "Subject"));
  EXPECT_TRUE(StartsWithIgnoreCase("MAIL FROM:<a>", "mail"));
  EXPECT_FALSE(StartsWithIgnoreCase("Sub", "Subject"));
  EXPECT_FALSE(StartsWithIgnoreCase(" MAIL", "MAIL"));
}

}  // namespace
}  // namespace vellomar
