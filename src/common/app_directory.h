#pragma once

#include <string>


namespace vellomar {

// The folder that holds all the program's files (spool files, `error`, `logfile`), without a
// trailing slash: chosen once by ChooseAppDirectory (app_directory_rule.h) on first use. The
// program hands it to its relay; nothing below the program's faces asks for it.
std::string GetAppDirectory();

// Where local programs hand the relay their mail: $VELLOMAR_DROP when set (the system
// service's folder, which every user may write to), else "drop" in the application directory.
std::string GetDropFolder();

// The folder part of an executable path, by the program's rule: trailing white space goes,
// then characters from the end until the last is a slash (or only two are left), then that
// slash too. "/opt/vellomar/vellomar" gives "/opt/vellomar".
std::string AppDirectoryFromExePath(std::string exePath);

}  // namespace vellomar
