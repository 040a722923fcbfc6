#pragma once

#include <string>

#include "platform/error_or.h"

namespace vellomar {

// The folder that holds all the program's files (spool files, `error`, `logfile`), without a
// trailing slash: chosen once by ChooseAppDirectory (app_directory_rule.h) on first use.
std::string GetAppDirectory();

// The folder part of an executable path, by the program's rule: trailing white space goes,
// then characters from the end until the last is a slash (or only two are left), then that
// slash too. "/opt/vellomar/vellomar" gives "/opt/vellomar".
std::string AppDirectoryFromExePath(std::string exePath);

// Points the application directory elsewhere (tests, and a core used without its program).
// An empty text returns to the folder the rule chooses.
void SetAppDirectory(std::string directory);

// GetAppDirectory(), a slash and the name.
std::string AppFilePath(const std::string& name);

// Makes the names created, renamed or removed in the application directory durable.
Status SyncAppDirectory();

}  // namespace vellomar
