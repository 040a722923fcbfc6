#pragma once

#include <string>

#include "platform/error_or.h"
#include "spool/mail_summary.h"

namespace vellomar {

class QueueList;
class RelayServices;

// The notice-sender address: the null reverse path, so notices travel as bounces should.
// A message whose sender is the null path, however its MAIL line wrote it, gets no notice
// about its own failure (RFC 5321, 6.1).
constexpr const char* kNoticeSender = "<>";

// The text that takes the place of the template's "Error" line.
std::string NoticeText(const std::string& recipientLine, const std::string& subject, const std::string& reason);

// Writes a new spool file, from the template `error`, that tells the failed message's
// sender that one recipient could not be served. The file is written under its stem (no
// extension, so no dispatcher takes it half written), synced, and renamed to its ".tml" name
// when complete, never over another file; every name it takes is reserved first. True when
// the recipient may be marked finished: the notice is safely queued, or nobody is to be told
// (a notice about a notice, a message without sender). False, logged, when the notice could
// not be written (stopping, template gone, disk full, message no longer registered): the
// recipient must keep its letter so that the next run tries again. Called with no lock held.
[[nodiscard]] bool SendFailureNotice(RelayServices& relay, const std::string& spoolName, const std::string& reason,
                                     const std::string& recipientLine);

// The notice itself, once the failed message's sender and subject are known (`summary`, as a
// spool file's summary holds them); `about` names the message in the log. The same outcome.
[[nodiscard]] bool QueueFailureNotice(RelayServices& relay, const MailSummary& summary, const std::string& reason,
                                      const std::string& recipientLine, const std::string& about);

// Queues a complete notice file written under `stem`: renamed, never over another file, to a
// ".tml" name reserved in the queue list first (each name tried), then the folder synced, so
// that the queued notice outlives a crash. `name` holds a name already reserved for it, or is
// empty; the name is released from the list once the file has it (it is then waiting) or the
// attempt failed. On success `name` is the notice's name.
Status QueueNoticeFile(QueueList& queue, const std::string& stem, std::string& name);

}  // namespace vellomar
