#include "control/desktop_notifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellomar {
namespace {

using Kind = RelayEvent::Kind;
using Notification = DesktopNotifier::Notification;
using std::chrono::minutes;
using std::chrono::seconds;

// One event at its second since the start, or (no event) a look at what is due then.
struct Step {
  int at;
  std::optional<RelayEvent> event;
  std::vector<Notification> shown{};
};

Step Event(int at, RelayEvent event) { return {at, std::move(event)}; }
Step Look(int at, std::vector<Notification> shown) { return {at, std::nullopt, std::move(shown)}; }

RelayEvent GivenUp(const std::string& who, const std::string& why, const std::string& account = "default") {
  return {.kind = Kind::GivenUp, .account = account, .subject = who, .reason = why};
}

struct Case {
  const char* name;
  std::vector<Step> steps;
};

constexpr int kQuarter = 15 * 60;

// Events in, notifications out, the time passed in: at most one notification per kind and
// account every quarter of an hour, a burst gathered for a few seconds into one.
TEST(DesktopNotifierTest, AtMostOnePerKindAndAccountEveryQuarterOfAnHourTheRestCoalesced) {
  const Notification bobGone{"Recipient given up", "<bob@example.net>: 550 no such user. Its sender gets a failure notice.", ""};
  const Case cases[] = {
      {"one event waits for the burst, then shows alone",
       {Event(0, GivenUp("<bob@example.net>", "550 no such user")), Look(4, {}), Look(5, {bobGone}), Look(6, {})}},
      {"a burst of one message's recipients is one notification",
       {Event(0, GivenUp("<a@x>", "550 no")), Event(1, GivenUp("<b@x>", "550 no")), Event(2, GivenUp("<c@x>", "550 no")),
        Event(3, GivenUp("<d@x>", "554 refused")),
        Look(5, {{"4 recipients given up", "<a@x>, <b@x>, <c@x> and 1 more: 554 refused. The senders get failure notices.", ""}})}},
      {"the rest of a quarter of an hour comes together at its end",
       {Event(0, GivenUp("<bob@example.net>", "550 no such user")), Look(5, {bobGone}),
        Event(60, GivenUp("<a@x>", "550 a")), Event(600, GivenUp("<b@x>", "550 b")),
        Event(700, GivenUp("<c@x>", "451 too long")), Look(kQuarter + 4, {}),
        Look(kQuarter + 5, {{"3 recipients given up", "<a@x>, <b@x> and <c@x>: 451 too long. The senders get failure notices.", ""}}),
        Event(kQuarter + 6, GivenUp("<d@x>", "550 d")), Look(2 * kQuarter + 4, {}),
        Look(2 * kQuarter + 5, {{"Recipient given up", "<d@x>: 550 d. Its sender gets a failure notice.", ""}})}},
      {"after a quiet quarter of an hour, the next event is shown after its burst",
       {Event(0, GivenUp("<bob@example.net>", "550 no such user")), Look(5, {bobGone}),
        Event(kQuarter + 100, GivenUp("<bob@example.net>", "550 no such user")), Look(kQuarter + 104, {}),
        Look(kQuarter + 105, {bobGone})}},
      {"kinds and accounts are counted apart",
       {Event(0, GivenUp("<a@x>", "550 a", "shop")), Event(0, GivenUp("<b@x>", "550 b")),
        Event(1, {.kind = Kind::LoginRefused, .account = "shop", .subject = "smtp.shop.example",
                  .reason = "authentication refused by smtp.shop.example:587: 535 5.7.8 bad credentials"}),
        Look(6, {{"Recipient given up", "<b@x>: 550 b. Its sender gets a failure notice.", ""},
                 {"Recipient given up (shop)", "<a@x>: 550 a. Its sender gets a failure notice.", ""},
                 {"The next relay refused the login (shop)",
                  "authentication refused by smtp.shop.example:587: 535 5.7.8 bad credentials. Mail through it waits until "
                  "the login is mended.",
                  ""}})}},
      {"the same recipient twice is named once",
       {Event(0, GivenUp("<a@x>", "550 a")), Event(1, GivenUp("<a@x>", "550 a")),
        Look(5, {{"2 recipients given up", "<a@x>: 550 a. The senders get failure notices.", ""}})}},
      {"a sign-in to make again offers to sign in",
       {Event(0, {.kind = Kind::SignInNeeded, .account = "default", .reason = "sign-in to Microsoft expired: sign in again",
                  .signIn = "microsoft:client:ann@example.org"}),
        Look(5, {{"Sign in again", "sign-in to Microsoft expired: sign in again. Mail through it waits until you sign in.",
                  "microsoft:client:ann@example.org"}})}},
      {"a full disk, said three times, is one notification a quarter",
       {Event(0, {.kind = Kind::SpoolTrouble, .reason = "can't write spool file 1.tml: No space left on device"}),
        Look(5, {{"Mail cannot be stored",
                  "can't write spool file 1.tml: No space left on device. Mail programs are told to try again later.", ""}}),
        Event(10, {.kind = Kind::SpoolTrouble, .reason = "can't write spool file 2.tml: No space left on device"}),
        Event(20, {.kind = Kind::SpoolTrouble, .reason = "can't write spool file 3.tml: No space left on device"}),
        Look(kQuarter + 5, {{"Mail cannot be stored (2 times)",
                             "can't write spool file 3.tml: No space left on device. Mail programs are told to try "
                             "again later.",
                             ""}})}},
      {"mail waiting over an hour names its recipients and the last error",
       {Event(0, {.kind = Kind::MailWaiting, .account = "default", .subject = "<a@x>"}),
        Event(0, {.kind = Kind::MailWaiting, .account = "default", .subject = "<b@y>", .reason = "451 busy"}),
        Look(5, {{"2 messages have waited over an hour", "To <a@x> and <b@y>; the last error: 451 busy.", ""}})}},
      {"deliveries and failures are the status's, never a notification",
       {Event(0, {.kind = Kind::Delivered, .account = "default"}),
        Event(0, {.kind = Kind::Failed, .account = "default", .reason = "451 busy"}), Look(kQuarter, {})}},
  };
  for (const Case& c : cases) {
    DesktopNotifier notifier;
    const DesktopNotifier::TimePoint start{};
    for (const Step& step : c.steps) {
      auto now = start + seconds(step.at);
      if (step.event) {
        notifier.Add(*step.event, now);
      } else {
        EXPECT_EQ(notifier.Due(now), step.shown) << c.name << ", at " << step.at << " s";
      }
    }
    EXPECT_FALSE(notifier.NextDue().has_value()) << c.name << ": something was left held";
  }
}

TEST(DesktopNotifierTest, TheNextDueTimeIsTheEarliestHeld) {
  DesktopNotifier notifier;
  const DesktopNotifier::TimePoint start{};
  EXPECT_FALSE(notifier.NextDue());
  notifier.Add(GivenUp("<a@x>", "550"), start);
  EXPECT_EQ(notifier.NextDue(), start + DesktopNotifier::kGathering);
  ASSERT_EQ(notifier.Due(start + seconds(5)).size(), 1u);
  notifier.Add(GivenUp("<b@x>", "550"), start + seconds(30));
  EXPECT_EQ(notifier.NextDue(), start + seconds(5) + minutes(15));
  notifier.Add({.kind = Kind::SpoolTrouble, .reason = "full"}, start + seconds(40));
  EXPECT_EQ(notifier.NextDue(), start + seconds(45));
}

}  // namespace
}  // namespace vellomar
