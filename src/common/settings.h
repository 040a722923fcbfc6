#pragma once

#include <atomic>
#include <cstdint>

#include "common/network_list.h"
#include "common/shared_text.h"

namespace vellomar {

// The clients served when `Allow` names none: the machine itself and its local networks
// (loopback, the private IPv4 ranges, link-local, unique-local IPv6).
NetworkList DefaultAllowedNetworks();

// The in-memory copy of the settings, one field per stored value. Written on the window's
// thread (at start-up and after the Modes dialog) and read by every thread; each field can
// be read at any time without a lock and is never seen half replaced.
struct Settings {
  std::atomic<bool> REAL_RELAY{false};
  SharedText SMTP;
  SharedText DNS;
  SharedText Alternate;
  std::atomic<bool> Minimize{false};
  std::atomic<int32_t> Logsize{10};
  std::atomic<bool> Logrec{false};
  std::atomic<bool> Logabo{false};
  std::atomic<bool> Logdel{false};
  std::atomic<int32_t> Input{100};
  std::atomic<int32_t> Output{100};
  // Only clients from these networks are served; the listener refuses the others.
  SharedValue<NetworkList> Allow{DefaultAllowedNetworks()};
};

// The program's one Settings.
Settings& TheSettings();

}  // namespace vellomar
