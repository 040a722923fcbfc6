#include "delivery/failure_notice.h"

#include <fcntl.h>

#include <mutex>

#include "common/app_directory.h"
#include "common/flags.h"
#include "common/text.h"
#include "control/main_window.h"
#include "platform/file_system.h"
#include "spool/recipient_line.h"
#include "spool/spool_file.h"
#include "spool/spool_lists.h"

namespace vellomar {

namespace {

constexpr int kNameAttempts = 100;

struct NoticeFile {
  std::string stem;
  FileDescriptor fd;
};

// A stem nobody else has: named and created under QueueLock, so that neither a reception
// nor another notice can be given it meanwhile.
bool CreateNoticeFile(NoticeFile& notice) {
  std::lock_guard<std::mutex> guard(QueueLock());
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = TheQueueList().NewSpoolName(false);
    notice.stem = name.substr(0, name.find('.'));
    auto fd = OpenFile(AppFilePath(notice.stem), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd) {
      notice.fd = std::move(fd.value());
      return true;
    }
    if (fd.error() != EEXIST) return false;
  }
  return false;
}

// Renames the finished stem file to a ".tml" name that no other file has.
bool Queue(const std::string& stem) {
  std::string target = stem + ".tml";
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    Status renamed = RenameNoReplace(AppFilePath(stem), AppFilePath(target));
    if (renamed) return true;
    if (renamed.error() != EEXIST) return false;
    std::lock_guard<std::mutex> guard(QueueLock());
    target = TheQueueList().NewSpoolName(false);
  }
  return false;
}

std::string TemplateLine(const std::string& line, const MailSummary& summary, const std::string& notice) {
  if (line.rfind("RCPT", 0) == 0) return "RCPT To:" + summary.sender;
  if (line.rfind("Error", 0) == 0) return notice;
  return line;
}

enum class Copied { Complete, Stopped, Failed };

Copied CopyTemplate(SpoolFile& source, int target, const MailSummary& summary, const std::string& notice) {
  std::string line;
  for (;;) {
    bool more = ReadLine(source, line);
    if (source.ReadFailed()) return Copied::Failed;
    if (line.empty()) return Copied::Complete;
    std::string out = TemplateLine(line, summary, notice);
    if (!WriteAll(target, out.data(), out.size())) return Copied::Failed;
    if (stopRequested.load()) return Copied::Stopped;
    if (line.rfind("QUIT", 0) == 0 || !more) return Copied::Complete;
  }
}

// A message without a MAIL line has no sender to tell: a notice would carry a broken
// recipient line.
bool SenderKnown(MainWindow& window, const std::string& spoolName, MailSummary& summary) {
  bool found;
  {
    std::lock_guard<std::mutex> guard(OutgoingLock());
    found = OutgoingRegistry().GetSummary(spoolName, summary);
  }
  if (found && !summary.sender.empty()) return true;
  window.AppendLog("Error : no sender known for " + spoolName);
  return false;
}

}  // namespace

std::string NoticeText(const std::string& recipientLine, const std::string& subject, const std::string& reason) {
  return "Vellomar SMTP Server Error !!! \r\nMail to :" + AfterFirstColon(recipientLine) +
         "(subject : " + UpToCarriageReturn(subject) + ")\r\ncould not be delivered.\r\n\r\nServer replyed : \r\n" +
         reason + "\r\n";
}

void SendFailureNotice(MainWindow& window, const std::string& spoolName, const std::string& reason,
                       const std::string& recipientLine) {
  MailSummary summary;
  if (!SenderKnown(window, spoolName, summary)) return;
  if (StartsWithIgnoreCase(summary.sender, kNoticeSender)) return;
  auto source = SpoolFile::Open(AppFilePath("error"), O_RDONLY);
  NoticeFile notice;
  if (!source || !CreateNoticeFile(notice)) {
    window.AppendLog("Error : can't write failure notice for " + spoolName);
    return;
  }
  Copied copied = CopyTemplate(source.value(), notice.fd.get(), summary, NoticeText(recipientLine, summary.subject, reason));
  bool written = copied == Copied::Complete && SyncFile(notice.fd.get()) && notice.fd.Close();
  if (written && Queue(notice.stem)) {
    // Waiting now, and nobody else announces it: a dispatcher whose run ended before it
    // was written would otherwise leave it for the next timer tick.
    window.StartClient();
    return;
  }
  // A half-written notice would never be delivered nor cleaned away.
  RemoveFile(AppFilePath(notice.stem));
  if (copied != Copied::Stopped) window.AppendLog("Error : can't write failure notice for " + spoolName);
}

}  // namespace vellomar
