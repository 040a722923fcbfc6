#pragma once

#include <string>

namespace vellomar {

// The relay a local program's mail is handed to, found as `vellomar --deliver-now` finds its
// program: $VELLOMAR_DIR, else the folder of this executable when it holds the template (the
// portable layout), else the user's own folder (${XDG_STATE_HOME:-~/.local/state}/vellomar)
// when the user has run Vellomar there; failing all three, the system service. Nothing is
// created while looking.
struct RelayPlace {
  // The relay's application directory (its spool files).
  std::string relayFolder;
  // Where the mail is dropped: $VELLOMAR_DROP when set; the system service's drop folder;
  // else "drop" in the relay's folder.
  std::string dropFolder;
  // The folder of the relay's settings store.
  std::string storeFolder;
  bool system = false;
};

RelayPlace FindRelayPlace();

// The system service's folders, as its unit and the vellomar-mta package make them.
constexpr const char* kSystemRelayFolder = "/var/lib/vellomar";
constexpr const char* kSystemDropFolder = "/var/spool/vellomar";
constexpr const char* kSystemStoreFolder = "/etc/vellomar";

}  // namespace vellomar
