#include "delivery/failure_notice.h"

#include <fcntl.h>


#include "common/header_date.h"
#include "common/local_names.h"
#include "common/system_error.h"
#include "common/text.h"
#include "delivery/delivery_notes.h"
#include "delivery/notice_header.h"
#include "platform/file_system.h"
#include "platform/socket.h"
#include "spool/recipient_line.h"
#include "spool/spool_file.h"
#include "spool/relay_services.h"

namespace vellomar {

namespace {

constexpr int kNameAttempts = 100;

struct NoticeFile {
  std::string stem;
  std::string name;  // reserved in the queue list until the notice is queued or dropped
  FileDescriptor fd;
};

void ReleaseName(QueueList& queue, const std::string& name) {
  (void)queue.Remove(name);  // true whenever the list holds anything; nothing to learn
}

// A stem nobody else has: its name reserved first, so that neither a reception nor another
// notice can be given it meanwhile, then the stem file created exclusively.
Status CreateNoticeFile(QueueList& queue, NoticeFile& notice) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    notice.name = queue.NewSpoolName(true);
    notice.stem = notice.name.substr(0, notice.name.find('.'));
    auto fd = OpenFile(queue.PathOf(notice.stem), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd) {
      notice.fd = std::move(fd.value());
      return Ok();
    }
    (void)queue.Remove(notice.name);  // the name is dropped; the outcome is the open's
    if (fd.error() != EEXIST) return FailWith(fd.failure());
  }
  return FailWith(EEXIST);
}

// The notice's recipient lines: the failed message's sender alone (its address, without the
// parameters its MAIL line may carry), or, for a local sender, the addresses its local name
// stands for, so that a local user's notice reaches them as their mail would.
std::string RecipientLines(RelayServices& relay, const MailSummary& summary) {
  std::string bracketed = EnvelopeAddress(summary.sender);
  std::string address = bracketed.size() >= 2 ? bracketed.substr(1, bracketed.size() - 2) : "";
  auto settings = relay.settings();
  if (address.empty() || !LocalNamesConfigured(*settings) ||
      !IsLocalAddress(address, relay.localNames.RulesFor(*settings).localDomain)) {
    return "RCPT To:" + bracketed + "\r\n";
  }
  Resolution resolved = relay.localNames.Recipient(*settings, address);
  if (resolved.addresses.empty()) return "RCPT To:" + bracketed + "\r\n";
  std::string lines;
  for (const std::string& target : resolved.addresses) lines += "RCPT To:<" + target + ">\r\n";
  return lines;
}

std::string TemplateLine(const std::string& line, const std::string& recipients, const std::string& notice) {
  if (line.rfind("RCPT", 0) == 0) return recipients;
  if (line.rfind("Error", 0) == 0) return notice;
  return line;
}

// Copies the template with its replacements up to its QUIT line. ECANCELED when a stop came
// first: nothing new is queued while the program ends.
Status CopyTemplate(SpoolFile& source, int target, const std::string& recipients, const std::string& notice,
                    NoticeHeader& header, const StopFlag& stop) {
  std::string line;
  for (;;) {
    bool more = ReadLine(source, line);
    if (source.ReadFailed()) return FailWith(EIO);
    if (line.empty()) return Ok();
    std::string out = header.Copy(TemplateLine(line, recipients, notice));
    Status put = WriteAll(target, out.data(), out.size());
    if (!put) return put;
    if (stop.load()) return FailWith(ECANCELED);
    if (line.rfind("QUIT", 0) == 0 || !more) return Ok();
  }
}

enum class Sender { Known, Nobody, Unknown };

// The failed message's sender. A message without a MAIL line has nobody to tell (a notice
// would carry a broken recipient line); a message whose entry is gone (shutdown emptied the
// registry) has a sender we cannot see now.
Sender FindSender(RelayServices& relay, const std::string& spoolName, MailSummary& summary) {
  bool found = relay.outgoing.GetSummary(spoolName, summary);
  if (found && !EnvelopeAddress(summary.sender).empty()) return Sender::Known;
  relay.AppendLog("Error : no sender known for " + spoolName);
  return found ? Sender::Nobody : Sender::Unknown;
}

bool NotWritten(RelayServices& relay, const std::string& spoolName, const std::string& why) {
  relay.AppendLog("Error : can't write failure notice for " + spoolName + " (" + why + "), tried again next run");
  return false;
}

}  // namespace

std::string NoticeText(const std::string& recipientLine, const std::string& subject, const std::string& reason) {
  return "Vellomar SMTP Server Error !!! \r\nMail to :" + AfterFirstColon(recipientLine) +
         "(subject : " + UpToCarriageReturn(subject) + ")\r\ncould not be delivered.\r\n\r\nServer replyed : \r\n" +
         reason + "\r\n";
}

bool SendFailureNotice(RelayServices& relay, const std::string& spoolName, const std::string& reason,
                       const std::string& recipientLine) {
  MailSummary summary;
  Sender sender = FindSender(relay, spoolName, summary);
  if (sender == Sender::Unknown) return NotWritten(relay, spoolName, "message not registered");
  bool given = sender == Sender::Nobody || QueueFailureNotice(relay, summary, reason, recipientLine, spoolName);
  if (given) NoteGivenUp(relay, spoolName, recipientLine, reason);
  return given;
}

bool QueueFailureNotice(RelayServices& relay, const MailSummary& summary, const std::string& reason,
                        const std::string& recipientLine, const std::string& about) {
  if (EnvelopeAddress(summary.sender) == kNoticeSender) return true;
  auto source = SpoolFile::Open(relay.FilePath("error"), O_RDONLY);
  if (!source) return NotWritten(relay, about, "template error: " + SystemErrorText(source.failure()));
  NoticeFile notice;
  Status created = CreateNoticeFile(relay.queue, notice);
  if (!created) return NotWritten(relay, about, SystemErrorText(created.failure()));
  auto hostName = MachineHostName();
  NoticeHeader header(hostName ? hostName.value() : "localhost", notice.stem, HeaderDate(relay.LocalNow()));
  Status written = CopyTemplate(source.value(), notice.fd.get(), RecipientLines(relay, summary),
                                NoticeText(recipientLine, summary.subject, reason), header, relay.stop());
  if (written) written = SyncFile(notice.fd.get());
  if (written) written = notice.fd.Close();
  if (written) {
    // Releases every name it takes, whatever its outcome.
    written = QueueNoticeFile(relay.queue, notice.stem, notice.name);
    if (written) {
      // Waiting now, and nobody else announces it: a dispatcher whose run ended before it
      // was written would otherwise leave it for the next timer tick.
      relay.StartClient();
      return true;
    }
  } else {
    ReleaseName(relay.queue, notice.name);
  }
  // The next run writes the notice again; a copy left here would be queued at the next start.
  (void)RemoveFile(relay.FilePath(notice.stem));  // gone already when the rename went through
  return NotWritten(relay, about, SystemErrorText(written.failure()));
}

Status QueueNoticeFile(QueueList& queue, const std::string& stem, std::string& name) {
  for (int attempt = 0;; ++attempt) {
    if (name.empty()) name = queue.NewSpoolName(true);
    Status renamed = RenameNoReplace(queue.PathOf(stem), queue.PathOf(name));
    ReleaseName(queue, name);
    if (renamed) return SyncDirectory(queue.directory());
    name.clear();
    if (renamed.error() != EEXIST || attempt + 1 == kNameAttempts) return renamed;
  }
}

}  // namespace vellomar
