#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/relay_event.h"

namespace vellomar {

// What the desktop's notifications say of the relay's events. At most one notification per
// kind and account every quiet period (15 minutes): the events in between are coalesced into
// the next one ("3 recipients given up"). A first event waits a few seconds for those that come
// with it (every recipient of one message refused at once), so that a burst is one
// notification and not one and then the rest a quarter of an hour later. Time is passed in.
//
// Lock contract: none; it is used on the window's thread only.
class DesktopNotifier {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  static constexpr std::chrono::minutes kQuietPeriod{15};
  static constexpr std::chrono::seconds kGathering{5};

  struct Notification {
    std::string title;
    std::string body;
    // The sign-in a "Sign in..." action makes again; empty for none.
    std::string signIn;
    bool operator==(const Notification&) const = default;
  };

  // Holds an event of a notified kind (others are ignored) for the next notification of its
  // kind and account.
  void Add(const RelayEvent& event, TimePoint now);
  // The notifications whose time has come, each coalescing the events held for it.
  std::vector<Notification> Due(TimePoint now);
  // When the next one is due; none while nothing is held.
  std::optional<TimePoint> NextDue() const;

 private:
  struct Held {
    int count = 0;
    // The first few distinct subjects, in the order they came, and how many of the events
    // named one of them.
    std::vector<std::string> subjects{};
    int named = 0;
    std::string reason{};
    std::string signIn{};
    TimePoint firstAt{};
  };
  struct Entry {
    std::optional<TimePoint> lastShown;
    std::optional<Held> held;
  };
  using Key = std::pair<RelayEvent::Kind, std::string>;

  static TimePoint DueAt(const Entry& entry);
  static Notification Compose(const Key& key, const Held& held);

  std::map<Key, Entry> entries_;
};

}  // namespace vellomar
