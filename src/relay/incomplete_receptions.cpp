#include "relay/incomplete_receptions.h"

#include <fcntl.h>

#include "common/text.h"
#include "platform/file_system.h"
#include "spool/spool_format.h"

namespace vellomar {

namespace {

// The QUIT line of a session is at most 1,000 bytes.
constexpr size_t kTailSize = 1024 + 5;

bool HasCompleteData(const std::string& path) {
  auto fd = OpenFile(path, O_RDONLY);
  if (!fd) return true;  // not ours to judge
  auto length = FileLength(fd.value().get());
  if (!length) return true;
  off_t start = length.value() > static_cast<off_t>(kTailSize) ? length.value() - static_cast<off_t>(kTailSize) : 0;
  std::string tail(static_cast<size_t>(length.value() - start), '\0');
  if (!SeekTo(fd.value().get(), start)) return true;
  auto got = ReadSome(fd.value().get(), tail.data(), tail.size());
  if (!got) return true;
  tail.resize(got.value());
  size_t end = tail.rfind(kEndOfDataMarker);
  if (end == std::string::npos) return false;
  std::string rest = tail.substr(end + kEndOfDataMarker.size());
  if (rest.empty()) return true;
  size_t feed = rest.find('\n');
  return StartsWithIgnoreCase(rest, "QUIT") && (feed == std::string::npos || feed + 1 == rest.size());
}

}  // namespace

std::vector<std::string> RemoveIncompleteReceptions(const std::string& directory) {
  std::vector<std::string> removed;
  auto names = ListDirectory(directory);
  if (!names) return removed;
  for (const std::string& name : names.value()) {
    if (!HasSpoolExtension(name)) continue;
    std::string path = directory + "/" + name;
    if (KindOf(path) != EntryKind::Regular || HasCompleteData(path)) continue;
    if (RemoveFile(path)) removed.push_back(name);
  }
  return removed;
}

}  // namespace vellomar
