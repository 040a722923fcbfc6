#pragma once

#include <string>
#include <vector>

namespace vellomar {

// Removes the spool files of `directory` whose reception a crash cut short: a complete
// reception ends with the end-of-data line, maybe followed by one QUIT line. Returns the names
// removed. Called at start, before anything is received or delivered.
std::vector<std::string> RemoveIncompleteReceptions(const std::string& directory);

}  // namespace vellomar
