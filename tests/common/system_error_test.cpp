#include "common/system_error.h"

#include <netdb.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/host_lookup.h"
#include "platform/socket.h"

namespace vellomar {
namespace {

// Resolver codes and errno values share numbers; the text shown must come from the table the
// code belongs to.
TEST(SystemErrorTest, TheTextComesFromTheTableTheCodeBelongsTo) {
  struct Case {
    SystemError error;
    std::string want;
  };
  const Case cases[] = {
      {SystemError{ENOENT}, std::strerror(ENOENT)},
      {SystemError{EADDRINUSE, SystemError::Source::Errno}, std::strerror(EADDRINUSE)},
      {ResolverError(EAI_NONAME), ::gai_strerror(EAI_NONAME)},
      {ResolverError(EAI_AGAIN), ::gai_strerror(EAI_AGAIN)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SystemErrorText(c.error), c.want) << "code " << c.error.code;
  }
  EXPECT_EQ(SystemErrorText(ENOENT), std::strerror(ENOENT)) << "a bare code is an errno value";
  EXPECT_NE(SystemErrorText(ResolverError(EAI_NONAME)), SystemErrorText(EAI_NONAME));
}

TEST(SystemErrorTest, AFailurePassedOnKeepsItsSource) {
  auto resolver = ErrorOr<int>::Fail(ResolverError(EAI_NONAME));
  Status passed = FailWith(resolver.failure());
  EXPECT_EQ(passed.error(), EAI_NONAME);
  EXPECT_EQ(passed.failure().source, SystemError::Source::Resolver);
  Status plain = FailWith(EIO);
  EXPECT_EQ(plain.failure().source, SystemError::Source::Errno);
  EXPECT_EQ(Ok().failure().code, 0);
}

// An empty host name is refused by the resolver itself, without asking any server.
TEST(SystemErrorTest, ResolverFailuresAreMarkedAsSuch) {
  auto address = LookUpHost("", 25, AF_UNSPEC, [] { return false; });
  ASSERT_FALSE(address);
  EXPECT_EQ(address.failure().source, SystemError::Source::Resolver) << SystemErrorText(address.failure());
  EXPECT_EQ(SystemErrorText(address.failure()), ::gai_strerror(address.error()));

  auto canonical = CanonicalHostName("");
  ASSERT_FALSE(canonical);
  EXPECT_EQ(canonical.failure().source, SystemError::Source::Resolver) << SystemErrorText(canonical.failure());
}

}  // namespace
}  // namespace vellomar
