#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vellomar {

// Local names and what they stand for, as the system's /etc/aliases writes them: one entry
// per line, "name: target, target, ...", a line that begins with a blank going on with the
// entry before it, '#' lines and empty lines ignored. A target is an address, with a domain
// or without (then another name, maybe an alias itself). Names are matched without regard
// to letter case.
//
// Targets a relay cannot serve (a program "|...", a file "/...", an ":include:" list) are
// left out, and named among the problems.
struct AliasTable {
  std::map<std::string, std::vector<std::string>> entries;
  // "/etc/aliases line 4: ..." for every line that could not be used as written.
  std::vector<std::string> problems;

  // The targets of `name`, or null when it is no alias.
  const std::vector<std::string>* Find(std::string_view name) const;
};

// `file` names the text in the problems.
AliasTable ParseAliases(std::string_view text, const std::string& file);

// The aliases of one file, read again whenever the file changed (its inode, size or time),
// so that an edit takes effect at the next message without telling anybody: `newaliases`
// needs to do nothing but check. A missing file is an empty table.
//
// Lock contract: its own lock, held while the file is looked at and read; callers from any
// thread.
class AliasFile {
 public:
  // The table of `path` as it is now. `fresh` is set when the file was read by this call
  // (its problems are then new).
  std::shared_ptr<const AliasTable> Current(const std::string& path, bool* fresh = nullptr);

 private:
  std::mutex lock_;
  std::string path_;
  uint64_t inode_ = 0;
  int64_t size_ = -1;
  int64_t modified_ = 0;
  std::shared_ptr<const AliasTable> table_ = std::make_shared<const AliasTable>();
};

// The aliases file the system keeps.
constexpr const char* kSystemAliases = "/etc/aliases";

}  // namespace vellomar
