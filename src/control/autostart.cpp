#include "control/autostart.h"

#include "common/app_directory_rule.h"
#include "control/registry_key.h"
#include "platform/file_system.h"

namespace vellomar {

namespace {

// The Exec key of a desktop entry takes a quoted argument with these characters escaped.
std::string QuotedExecArgument(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string AutostartProgramPath() { return ExecutableFolder() + "/vellomar"; }

std::string AutostartEntryPath() { return ConfigHome() + "/autostart/vellomar.desktop"; }

std::string ReadAutostart() { return AutostartKey().Read(kAutostartValue); }

void WriteAutostart(const std::string& programPath) {
  AutostartKey().Write(kAutostartValue, programPath);
  std::string entry = AutostartEntryPath();
  if (programPath.empty()) {
    // The stored value is what the program reads; the desktop entry follows it when it can.
    (void)RemoveFile(entry);
    return;
  }
  // A folder that cannot be made shows in the write below, which is itself best effort.
  (void)MakeDirectories(ConfigHome() + "/autostart");
  // The stored value is what the program reads; the desktop entry follows it when it can.
  (void)ReplaceFileContents(entry,
                      "[Desktop Entry]\n"
                      "Type=Application\n"
                      "Name=Vellomar\n"
                      "Comment=Store-and-forward SMTP relay\n"
                      "Exec=" + QuotedExecArgument(programPath) + "\n"
                      "Terminal=false\n");
}

}  // namespace vellomar
