#include "common/text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/base64.h"

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

TEST(TextTest, Base64RoundTripsAndRefusesWhatIsNotBase64) {
  struct Case {
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {std::string("\0alice\0s3cret", 13), "AGFsaWNlAHMzY3JldA=="},
      {"\xff\xfe\xfd", "//79"},
      {"Username:", "VXNlcm5hbWU6"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Base64Encode(c.bytes), c.text);
    EXPECT_EQ(Base64Decode(c.text), c.bytes) << c.text;
  }
  for (const char* bad : {"Zg=", "Z===", "Zg=a", "Zm9v!A==", "=Zm9", "Zm==Zm9v"}) {
    EXPECT_EQ(Base64Decode(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace vellomar
