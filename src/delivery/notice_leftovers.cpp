#include "delivery/notice_leftovers.h"

#include <fcntl.h>

#include <cctype>
#include <string_view>

#include "common/system_error.h"
#include "spool/relay_services.h"
#include "delivery/failure_notice.h"
#include "platform/file_system.h"
#include "spool/spool_file.h"

namespace vellomar {

namespace {

// A notice is the template with a few lines replaced; anything larger is not ours.
constexpr off_t kLargestNotice = 1024 * 1024;

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string FirstLine(const std::string& path) {
  auto file = SpoolFile::Open(path, O_RDONLY);
  std::string line;
  if (file) ReadLine(file.value(), line);
  return line;
}

// The notice's text when the file is one of ours; false for anything else.
bool ReadLeftover(const std::string& path, const std::string& templateStart, std::string& text) {
  auto fd = OpenFile(path, O_RDONLY);
  if (!fd) return false;
  auto length = FileLength(fd.value().get());
  if (!length || length.value() > kLargestNotice) return false;
  auto content = ReadToEnd(fd.value().get(), static_cast<size_t>(kLargestNotice));
  if (!content) return false;
  text = std::move(content.value());
  return text.empty() || text.compare(0, templateStart.size(), templateStart) == 0;
}

// The copying of a notice ends with the template's QUIT line: a file whose last line is
// not one was cut short.
bool EndsWithQuitLine(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  size_t feed = text.rfind('\n');
  std::string_view last = feed == std::string_view::npos ? text : text.substr(feed + 1);
  return last.substr(0, 4) == "QUIT";
}

void Recover(RelayServices& relay, const std::string& stem, const std::string& text) {
  if (!EndsWithQuitLine(text)) {
    Status removed = RemoveFile(relay.FilePath(stem));
    relay.AppendLog(removed ? "Removed incomplete failure notice " + stem
                             : "Error : can't remove incomplete failure notice " + stem + ": " +
                                   SystemErrorText(removed.failure()));
    return;
  }
  std::string name;
  Status queued = QueueNoticeFile(relay.queue, stem, name);
  relay.AppendLog(queued ? "Queued failure notice " + stem + " left by an interrupted run as " + name
                          : "Error : can't queue failure notice " + stem + ": " + SystemErrorText(queued.failure()));
}

}  // namespace

bool IsNoticeStem(const std::string& name) {
  size_t underscore = name.find('_');
  if (underscore == std::string::npos) return AllDigits(name);
  return AllDigits(name.substr(0, underscore)) && AllDigits(name.substr(underscore + 1));
}

void QueueLeftoverNotices(RelayServices& relay) {
  std::string templateStart = FirstLine(relay.FilePath("error"));
  auto names = ListDirectory(relay.directory());
  if (templateStart.empty() || !names) return;
  for (const std::string& name : names.value()) {
    if (!IsNoticeStem(name) || KindOf(relay.FilePath(name)) != EntryKind::Regular) continue;
    std::string text;
    if (ReadLeftover(relay.FilePath(name), templateStart, text)) Recover(relay, name, text);
  }
}

}  // namespace vellomar
