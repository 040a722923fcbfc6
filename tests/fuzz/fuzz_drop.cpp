// The drop folder's reader fed any file a local user could put there, and the header editor
// fed any message: the envelope is read or refused without fault, a reading always fits the
// file, the editor gives the same text whatever pieces the message comes in, and it adds no
// line end but its own fields' and the one that keeps a stray line body.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "platform/file_system.h"
#include "spool/drop_file.h"
#include "spool/local_header_editor.h"
#include "spool/message_text.h"

namespace {

const std::string& FilePath() {
  static const std::string path = [] {
    static char folder[] = "/dev/shm/vellomar-fuzz-drop-XXXXXX";
    if (::mkdtemp(folder) == nullptr) std::abort();
    std::atexit([] {
      ::unlink((std::string(folder) + "/msg").c_str());
      ::rmdir(folder);
    });
    return std::string(folder) + "/msg";
  }();
  return path;
}

size_t LineEnds(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

std::string Edited(const vellomar::HeaderEdit& edit, const std::string& stored, size_t piece) {
  vellomar::LocalHeaderEditor editor(edit);
  std::string out;
  for (size_t at = 0; at < stored.size(); at += piece) editor.Feed(std::string_view(stored).substr(at, piece), out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellomar;
  using fuzz::Check;
  const std::string content(reinterpret_cast<const char*>(data), size);
  Check(ReplaceFileContents(FilePath(), content).ok(), "the file is written");
  int fd = ::open(FilePath().c_str(), O_RDONLY);
  Check(fd >= 0, "the file opens");
  auto reading = ReadDropEnvelope(fd);
  ::close(fd);
  if (reading) {
    const DropReading& read = reading.value();
    Check(read.dataStart >= 0 && read.dataSize >= 0, "a reading's positions are positions");
    Check(static_cast<uint64_t>(read.dataStart) + static_cast<uint64_t>(read.dataSize) == size, "a reading fits the file");
    for (const std::string& recipient : read.envelope.recipients) {
      Check(!recipient.empty() && recipient.find('\n') == std::string::npos, "a recipient is one line");
    }
  }

  MessageTextEncoder encoder;
  std::string stored;
  encoder.Feed(content, stored);
  encoder.Finish(stored);
  const HeaderEdit bare{"", "", "", "", false, "", ""};
  const HeaderEdit full{"mypc.example", "me@provider.example", "me@provider.example", "Cron Daemon", true, "today",
                        "<id@mypc.example>"};
  for (const HeaderEdit& edit : {bare, full}) {
    const std::string whole = Edited(edit, stored, std::max<size_t>(stored.size(), 1));
    Check(Edited(edit, stored, 1) == whole, "byte by byte, the same text");
    Check(Edited(edit, stored, 7) == whole, "in pieces of 7, the same text");
    const size_t added = edit.fromAddress.empty() ? 1 : 4;
    Check(LineEnds(whole) <= LineEnds(stored) + added, "no line end but the editor's own");
  }
  return 0;
}
