#include "delivery/failure_notice.h"

#include <fcntl.h>

#include <mutex>

#include "common/app_directory.h"
#include "common/flags.h"
#include "common/system_error.h"
#include "common/text.h"
#include "common/window_services.h"
#include "delivery/notice_header.h"
#include "platform/file_system.h"
#include "platform/socket.h"
#include "spool/recipient_line.h"
#include "spool/spool_file.h"
#include "spool/spool_lists.h"

namespace vellomar {

namespace {

constexpr int kNameAttempts = 100;

struct NoticeFile {
  std::string stem;
  std::string name;  // reserved in the queue list until the notice is queued or dropped
  FileDescriptor fd;
};

void ReleaseName(const std::string& name) {
  std::lock_guard<std::mutex> guard(QueueLock());
  (void)TheQueueList().Remove(name);  // true whenever the list holds anything; nothing to learn
}

// A stem nobody else has: named, reserved and created under QueueLock, so that neither a
// reception nor another notice can be given it meanwhile.
Status CreateNoticeFile(NoticeFile& notice) {
  std::lock_guard<std::mutex> guard(QueueLock());
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    notice.name = TheQueueList().NewSpoolName(true);
    notice.stem = notice.name.substr(0, notice.name.find('.'));
    auto fd = OpenFile(AppFilePath(notice.stem), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd) {
      notice.fd = std::move(fd.value());
      return Ok();
    }
    (void)TheQueueList().Remove(notice.name);  // the name is dropped; the outcome is the open's
    if (fd.error() != EEXIST) return FailWith(fd.failure());
  }
  return FailWith(EEXIST);
}

std::string TemplateLine(const std::string& line, const MailSummary& summary, const std::string& notice) {
  // The sender's address alone: parameters its MAIL line may carry are not the notice's.
  if (line.rfind("RCPT", 0) == 0) return "RCPT To:" + EnvelopeAddress(summary.sender) + "\r\n";
  if (line.rfind("Error", 0) == 0) return notice;
  return line;
}

// Copies the template with its replacements up to its QUIT line. ECANCELED when a stop came
// first: nothing new is queued while the program ends.
Status CopyTemplate(SpoolFile& source, int target, const MailSummary& summary, const std::string& notice,
                    NoticeHeader& header) {
  std::string line;
  for (;;) {
    bool more = ReadLine(source, line);
    if (source.ReadFailed()) return FailWith(EIO);
    if (line.empty()) return Ok();
    std::string out = header.Copy(TemplateLine(line, summary, notice));
    Status put = WriteAll(target, out.data(), out.size());
    if (!put) return put;
    if (stopRequested.load()) return FailWith(ECANCELED);
    if (line.rfind("QUIT", 0) == 0 || !more) return Ok();
  }
}

enum class Sender { Known, Nobody, Unknown };

// The failed message's sender. A message without a MAIL line has nobody to tell (a notice
// would carry a broken recipient line); a message whose entry is gone (shutdown emptied the
// registry) has a sender we cannot see now.
Sender FindSender(WindowServices& window, const std::string& spoolName, MailSummary& summary) {
  bool found;
  {
    std::lock_guard<std::mutex> guard(OutgoingLock());
    found = OutgoingRegistry().GetSummary(spoolName, summary);
  }
  if (found && !EnvelopeAddress(summary.sender).empty()) return Sender::Known;
  window.AppendLog("Error : no sender known for " + spoolName);
  return found ? Sender::Nobody : Sender::Unknown;
}

bool NotWritten(WindowServices& window, const std::string& spoolName, const std::string& why) {
  window.AppendLog("Error : can't write failure notice for " + spoolName + " (" + why + "), tried again next run");
  return false;
}

}  // namespace

std::string NoticeText(const std::string& recipientLine, const std::string& subject, const std::string& reason) {
  return "Vellomar SMTP Server Error !!! \r\nMail to :" + AfterFirstColon(recipientLine) +
         "(subject : " + UpToCarriageReturn(subject) + ")\r\ncould not be delivered.\r\n\r\nServer replyed : \r\n" +
         reason + "\r\n";
}

bool SendFailureNotice(WindowServices& window, const std::string& spoolName, const std::string& reason,
                       const std::string& recipientLine) {
  MailSummary summary;
  Sender sender = FindSender(window, spoolName, summary);
  if (sender == Sender::Unknown) return NotWritten(window, spoolName, "message not registered");
  if (sender == Sender::Nobody || EnvelopeAddress(summary.sender) == kNoticeSender) return true;
  auto source = SpoolFile::Open(AppFilePath("error"), O_RDONLY);
  if (!source) return NotWritten(window, spoolName, "template error: " + SystemErrorText(source.failure()));
  NoticeFile notice;
  Status created = CreateNoticeFile(notice);
  if (!created) return NotWritten(window, spoolName, SystemErrorText(created.failure()));
  auto hostName = MachineHostName();
  NoticeHeader header(hostName ? hostName.value() : "localhost", notice.stem);
  Status written = CopyTemplate(source.value(), notice.fd.get(), summary,
                                NoticeText(recipientLine, summary.subject, reason), header);
  if (written) written = SyncFile(notice.fd.get());
  if (written) written = notice.fd.Close();
  if (written) {
    // Releases every name it takes, whatever its outcome.
    written = QueueNoticeFile(notice.stem, notice.name);
    if (written) {
      // Waiting now, and nobody else announces it: a dispatcher whose run ended before it
      // was written would otherwise leave it for the next timer tick.
      window.StartClient();
      return true;
    }
  } else {
    ReleaseName(notice.name);
  }
  // The next run writes the notice again; a copy left here would be queued at the next start.
  (void)RemoveFile(AppFilePath(notice.stem));  // gone already when the rename went through
  return NotWritten(window, spoolName, SystemErrorText(written.failure()));
}

Status QueueNoticeFile(const std::string& stem, std::string& name) {
  for (int attempt = 0;; ++attempt) {
    if (name.empty()) {
      std::lock_guard<std::mutex> guard(QueueLock());
      name = TheQueueList().NewSpoolName(true);
    }
    Status renamed = RenameNoReplace(AppFilePath(stem), AppFilePath(name));
    ReleaseName(name);
    if (renamed) return SyncAppDirectory();
    name.clear();
    if (renamed.error() != EEXIST || attempt + 1 == kNameAttempts) return renamed;
  }
}

}  // namespace vellomar
