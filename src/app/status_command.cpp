#include "app/status_command.h"

#include <fcntl.h>

#include <ctime>
#include <ostream>
#include <string>

#include "common/app_directory.h"
#include "common/settings_table.h"
#include "common/system_error.h"
#include "control/registry_key.h"
#include "control/settings_loading.h"
#include "control/status_report.h"
#include "sign_in/sign_ins.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace vellomar {

namespace {

// The values a relay started now would use, read without writing anything back.
Settings StatusSettings() {
  RegistryKey key = SettingsKey();
  Settings settings = ReloadRelaySettings(key, Settings());
  for (const SettingField field : {SettingField(&Settings::WarnAfter), SettingField(&Settings::CriticalAfter)}) {
    const SettingRow& row = RowOf(field);
    (void)ApplySetting(row, key.Read(std::string(row.key)), settings);  // an unusable value keeps the default
  }
  return settings;
}

// Root never works by name in a folder another user owns: from inside it, it reads it with
// that user's rights and no others. What it opened before (the folder itself) stays open.
Status TakeOwnersPlace(const FileDescriptor& folder, bool& moved) {
  moved = false;
  if (EffectiveUserId() != 0) return Ok();
  auto owner = OwnerOfDescriptor(folder.get());
  if (!owner) return FailWith(owner.failure());
  if (owner.value().user == 0) return Ok();
  Status done = ChangeDirectory(folder.get());
  if (done) done = BecomeUser(owner.value().user, owner.value().group);
  moved = done.ok();
  return done;
}

int Report(const RelayStatus& status, const Settings& settings, bool json, std::ostream& out, std::ostream& err) {
  out << (json ? StatusJson(status) : StatusText(status, settings));
  if (!status.unreadable.empty()) {
    err << "vellomar: can't read " << status.folder << ": " << status.unreadable
        << " (run this as the folder's owner, or as root)\n";
  }
  return static_cast<int>(status.health);
}

}  // namespace

int StatusCommand(bool json, std::ostream& out, std::ostream& err) {
  const std::string folder = GetAppDirectory();
  const std::time_t now = std::time(nullptr);
  const Settings settings = StatusSettings();
  StatusQuery query{folder, folder, now, SignInOptions::FromEnvironment().tryKeyring};
  auto opened = OpenFile(folder, O_RDONLY | O_DIRECTORY);
  if (!opened) return Report(UnreadableStatus(folder, now, SystemErrorText(opened.failure())), settings, json, out, err);
  bool moved = false;
  Status taken = TakeOwnersPlace(opened.value(), moved);
  if (!taken) {
    std::string why = "can't take its owner's rights: " + SystemErrorText(taken.failure());
    return Report(UnreadableStatus(folder, now, why), settings, json, out, err);
  }
  if (moved) query.directory = ".";
  return Report(GatherStatus(query, settings), settings, json, out, err);
}

}  // namespace vellomar
