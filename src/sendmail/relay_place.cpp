#include "sendmail/relay_place.h"

#include <cstdlib>

#include "common/app_directory_rule.h"
#include "control/registry_key.h"
#include "platform/file_system.h"

namespace vellomar {

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The user's own relay, or none.
std::string UserRelayFolder() {
  AppDirectoryPlaces places = CurrentAppDirectoryPlaces();
  if (!places.chosen.empty()) return places.chosen;
  if (!places.executableFolder.empty() && EntryExists(places.executableFolder + "/error")) return places.executableFolder;
  std::string state = places.stateHome + "/vellomar";
  if (EntryExists(state + "/error")) return state;
  return "";
}

}  // namespace

RelayPlace FindRelayPlace() {
  RelayPlace place;
  place.relayFolder = UserRelayFolder();
  if (place.relayFolder.empty()) {
    place.system = true;
    place.relayFolder = kSystemRelayFolder;
    place.storeFolder = kSystemStoreFolder;
    place.dropFolder = kSystemDropFolder;
  } else {
    place.storeFolder = SettingsStoreDirectory();
    place.dropFolder = place.relayFolder + "/drop";
  }
  std::string chosen = Environment("VELLOMAR_DROP");
  if (!chosen.empty()) place.dropFolder = chosen;
  return place;
}

}  // namespace vellomar
