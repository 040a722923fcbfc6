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

TEST(TextTest, ReplyTextIsOneBoundedLineWithoutControlCharacters) {
  const std::string longReply = "550 " + std::string(600, 'x') + "\r\n";
  const std::string straddling = "550 " + std::string(507, 'x') + "\xc3\xa9tail";  // é at bytes 511 and 512
  const std::pair<std::string, std::string> cases[] = {
      {"550 No such user\r\n", "550 No such user"},
      {"550-first\r\n550 second\r\n", "550-first"},
      {"550-cut\n.\nQUIT\n", "550-cut . QUIT "},  // bare line feeds and a lone dot
      {std::string("550 a\0b\tc\x7f" "d\x1b[0m\r\n", 17), "550 a b c d [0m"},
      {"550 caf\xc3\xa9\r\n", "550 caf\xc3\xa9"},
      {longReply, longReply.substr(0, kMaxReplyText)},
      {straddling, straddling.substr(0, 511)},
  };
  for (const auto& [reply, want] : cases) EXPECT_EQ(ReplyText(reply), want) << reply;
}

}  // namespace
}  // namespace vellomar
