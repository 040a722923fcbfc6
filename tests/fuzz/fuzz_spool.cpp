// The spool file readers fed any file: the line reader gives back every byte, in order, in
// pieces of at most its size that end at a line feed or that size; the summary, the waiting
// view's reading and the trace header's date take any content without fault.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "delivery/spool_summary.h"
#include "fuzz_check.h"
#include "platform/file_system.h"
#include "spool/recipient_line.h"
#include "spool/spool_file.h"
#include "spool/waiting_message.h"

namespace {

const std::string& FilePath() {
  static const std::string path = [] {
    static char folder[] = "/dev/shm/vellomar-fuzz-spool-XXXXXX";
    if (::mkdtemp(folder) == nullptr) std::abort();
    std::atexit([] {
      ::unlink((std::string(folder) + "/953.tml").c_str());
      ::rmdir(folder);
    });
    return std::string(folder) + "/953.tml";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellomar;
  using fuzz::Check;
  const std::string content(reinterpret_cast<const char*>(data), size);
  Check(ReplaceFileContents(FilePath(), content).ok(), "the file is written");
  auto opened = SpoolFile::Open(FilePath(), O_RDONLY);
  Check(opened.ok(), "the file opens");
  SpoolFile& file = opened.value();
  std::string read;
  std::string line;
  for (bool more = true; more;) {
    more = ReadLine(file, line);
    Check(line.size() <= kLinePieceSize, "a piece is at most its size");
    if (more) Check(line.back() == '\n' || line.size() == kLinePieceSize, "a piece ends at a line feed or its size");
    read += line;
    (void)IsPendingRecipientLine(line);
    (void)RecipientAddress(line);
    (void)RecipientDomain(line);
  }
  Check(read == content, "the pieces are the file");
  std::string mailLine;
  MailSummary summary = ReadSpoolSummary(file, mailLine);
  Check(summary.recipientCount >= 0 && summary.size == static_cast<int32_t>(size), "the summary counts the file");
  auto message = ReadWaitingMessage(FilePath(), "953.tml");
  Check(message.ok(), "the waiting view reads the file");
  for (const WaitingRecipient& recipient : message.value().recipients) (void)RecipientStateText(recipient.state);
  (void)ParseMailDate(content);
  return 0;
}
