#include "delivery/delivery_notes.h"

#include "spool/recipient_line.h"
#include "common/relay_event.h"
#include "spool/relay_services.h"

namespace vellomar {

void NoteDeliveryError(RelayServices& relay, const std::string& spoolName, const std::string& recipientLine,
                       const std::string& error) {
  relay.queue.NoteError(spoolName, RecipientAddress(recipientLine), error);
  relay.ReportEvent({.kind = RelayEvent::Kind::Failed, .spoolName = spoolName, .reason = error});
}

std::string LastDeliveryError(RelayServices& relay, const std::string& spoolName, const std::string& recipientLine) {
  return relay.queue.LastError(spoolName, RecipientAddress(recipientLine));
}

void RecordDeliveryTry(RelayServices& relay, const std::string& spoolName) {
  relay.queue.RecordTry(spoolName);
  relay.tryRecorded.Notify();
}

void NoteDelivered(RelayServices& relay, const std::string& spoolName) {
  relay.ReportEvent({.kind = RelayEvent::Kind::Delivered, .spoolName = spoolName});
}

void NoteGivenUp(RelayServices& relay, const std::string& spoolName, const std::string& recipientLine,
                 const std::string& reason) {
  relay.ReportEvent({.kind = RelayEvent::Kind::GivenUp,
                     .spoolName = spoolName,
                     .subject = RecipientAddress(recipientLine),
                     .reason = reason});
}

void NoteLoginRefused(RelayServices& relay, const std::string& spoolName, const std::string& server,
                      const std::string& logLine) {
  relay.ReportEvent(
      {.kind = RelayEvent::Kind::LoginRefused, .spoolName = spoolName, .subject = server, .reason = WithoutErrorMark(logLine)});
}

std::string WithoutErrorMark(const std::string& logLine) {
  const std::string mark = "Error : ";
  return logLine.rfind(mark, 0) == 0 ? logLine.substr(mark.size()) : logLine;
}

}  // namespace vellomar
