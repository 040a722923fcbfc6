#include "relay/log_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>

#include "platform/file_system.h"

namespace vellomar {

namespace {

const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};

}  // namespace

bool LogFile::Open(const std::string& path) {
  auto fd = OpenFile(path, O_WRONLY | O_CREAT, 0644);
  if (!fd) return false;
  fd_ = std::move(fd.value());
  offset_ = 0;
  MeasureLength();
  return true;
}

bool LogFile::Reopen(const std::string& path) {
  (void)fd_.Close();  // the old log is being replaced; its close result changes nothing
  offset_ = length_ = 0;
  auto fd = OpenFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!fd) return false;
  fd_ = std::move(fd.value());
  return true;
}

void LogFile::MoveToEnd() {
  if (!fd_.valid()) return;
  // A log that cannot seek goes on writing where it is; the log has no one to report to.
  auto at = SeekTo(fd_.get(), 0, SEEK_END);
  if (at) {
    offset_ = static_cast<uint64_t>(at.value());
    length_ = std::max(length_, offset_);
  }
}

void LogFile::Write(const std::string& line) {
  if (!fd_.valid()) return;
  // A failed log write cannot itself be logged; the notification box still shows it.
  if (!WriteAll(fd_.get(), line.data(), line.size())) {
    // Part of the line may have gone in: the kernel's offset and the file say where things are.
    auto at = SeekTo(fd_.get(), 0, SEEK_CUR);
    if (at) offset_ = static_cast<uint64_t>(at.value());
    MeasureLength();
    return;
  }
  offset_ += line.size();
  length_ = std::max(length_, offset_);
}

void LogFile::MeasureLength() {
  auto length = fd_.valid() ? FileLength(fd_.get()) : ErrorOr<off_t>(0);
  length_ = length ? static_cast<uint64_t>(length.value()) : 0;
}

// At shutdown nothing is left to tell of a failed close.
void LogFile::Close() { (void)fd_.Close(); }

std::string LogTimeStamp(const std::tm& local) {
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%s %02d %s (%d) - %02d:%02d:%02d : ", kDays[(local.tm_wday % 7 + 7) % 7],
                local.tm_mday, kMonths[(local.tm_mon % 12 + 12) % 12], local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec);
  return stamp;
}

}  // namespace vellomar
