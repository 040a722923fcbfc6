#include "common/aliases.h"

#include <fcntl.h>

#include "common/address_list.h"
#include "common/text.h"
#include "platform/file_system.h"

namespace vellomar {

namespace {

// An aliases file larger than this is no aliases file: it is not read.
constexpr size_t kMaxAliasesFile = 4 * 1024 * 1024;
// Each problem is a log line: a file of nothing but faults says the first few, each cut short.
constexpr size_t kMaxProblems = 20;
constexpr size_t kMaxProblemText = 300;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// A target a relay cannot hand anything to.
bool IsUnservable(std::string_view target) {
  return !target.empty() && (target.front() == '|' || target.front() == '/' || StartsWithIgnoreCase(target, ":include:"));
}

void AddEntry(AliasTable& table, std::string_view entry, const std::string& where) {
  size_t colon = entry.find(':');
  std::string name = Lower(Trim(entry.substr(0, colon == std::string_view::npos ? 0 : colon)));
  if (colon == std::string_view::npos || name.empty() || name.find_first_of(" \t") != std::string::npos) {
    table.problems.push_back(where + ": not \"name: address, ...\"");
    return;
  }
  std::vector<std::string> targets;
  // Programs and files are split off by hand: their text is no address list.
  for (const ListedMailbox& mailbox : ParseAddressList(entry.substr(colon + 1))) {
    if (IsUnservable(mailbox.address)) {
      table.problems.push_back(where + ": " + name + ": " + mailbox.address + " is a program or file, which this relay does not serve");
    } else {
      targets.push_back(mailbox.address);
    }
  }
  if (targets.empty()) {
    table.problems.push_back(where + ": " + name + " names no address");
    return;
  }
  if (!table.entries.emplace(name, std::move(targets)).second) {
    table.problems.push_back(where + ": " + name + " is given again; the first entry holds");
  }
}

}  // namespace

const std::vector<std::string>* AliasTable::Find(std::string_view name) const {
  auto found = entries.find(Lower(name));
  return found == entries.end() ? nullptr : &found->second;
}

AliasTable ParseAliases(std::string_view text, const std::string& file) {
  AliasTable table;
  std::string entry;
  int entryLine = 0;
  int number = 0;
  auto finish = [&] {
    if (!Trim(entry).empty()) AddEntry(table, entry, file + " line " + std::to_string(entryLine));
    entry.clear();
  };
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      if (Trim(line).empty() || Trim(line).front() == '#') continue;
      entry += ' ';
      entry += line;
      continue;
    }
    finish();
    if (Trim(line).empty() || Trim(line).front() == '#') continue;
    entry = std::string(line);
    entryLine = number;
  }
  finish();
  if (table.problems.size() > kMaxProblems) {
    size_t more = table.problems.size() - kMaxProblems;
    table.problems.resize(kMaxProblems);
    table.problems.push_back(file + ": " + std::to_string(more) + " more lines that could not be used");
  }
  for (std::string& problem : table.problems) {
    if (problem.size() > kMaxProblemText) problem = problem.substr(0, kMaxProblemText) + "...";
  }
  return table;
}

std::shared_ptr<const AliasTable> AliasFile::Current(const std::string& path, bool* fresh) {
  std::lock_guard<std::mutex> guard(lock_);
  if (fresh != nullptr) *fresh = false;
  // Read through the descriptor looked at, never waiting on a pipe put under the name.
  auto fd = OpenFile(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  auto facts = fd ? FactsOf(fd.value().get()) : ErrorOr<FileFacts>::Fail(fd.failure());
  int64_t size = facts ? static_cast<int64_t>(facts.value().size) : -1;
  uint64_t inode = facts ? facts.value().inode : 0;
  int64_t modified = facts ? facts.value().modifiedNs : 0;
  if (path == path_ && size == size_ && inode == inode_ && modified == modified_) return table_;
  path_ = path;
  size_ = size;
  inode_ = inode;
  modified_ = modified;
  if (fresh != nullptr) *fresh = true;
  if (!fd) {
    auto table = std::make_shared<AliasTable>();
    if (fd.error() != ENOENT) table->problems.push_back(path + ": cannot be read");
    table_ = std::move(table);
    return table_;
  }
  auto text = facts ? ReadToEnd(fd.value().get(), kMaxAliasesFile) : ErrorOr<std::string>::Fail(facts.failure());
  if (!text) {
    auto table = std::make_shared<AliasTable>();
    table->problems.push_back(path + (text.error() == EFBIG ? ": larger than 4 MB, not read" : ": cannot be read"));
    table_ = std::move(table);
    return table_;
  }
  table_ = std::make_shared<const AliasTable>(ParseAliases(text.value(), path));
  return table_;
}

}  // namespace vellomar
