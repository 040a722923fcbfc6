#include "delivery/delivery_notes.h"

#include "spool/recipient_line.h"
#include "spool/relay_services.h"

namespace vellomar {

void NoteDeliveryError(RelayServices& relay, const std::string& spoolName, const std::string& recipientLine,
                       const std::string& error) {
  relay.queue.NoteError(spoolName, RecipientAddress(recipientLine), error);
}

std::string LastDeliveryError(RelayServices& relay, const std::string& spoolName, const std::string& recipientLine) {
  return relay.queue.LastError(spoolName, RecipientAddress(recipientLine));
}

void RecordDeliveryTry(RelayServices& relay, const std::string& spoolName) {
  relay.queue.RecordTry(spoolName);
  relay.tryRecorded.Notify();
}

std::string WithoutErrorMark(const std::string& logLine) {
  const std::string mark = "Error : ";
  return logLine.rfind(mark, 0) == 0 ? logLine.substr(mark.size()) : logLine;
}

}  // namespace vellomar
