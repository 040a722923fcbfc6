#include "sendmail/hand_over.h"

#include <sysexits.h>

#include <cstring>

#include "common/address_list.h"
#include "common/system_error.h"
#include "platform/file_system.h"
#include "sendmail/message_input.h"
#include "smtp_server/mail_path.h"
#include "spool/trace_fields.h"

namespace vellomar {

namespace {

constexpr size_t kReadSize = 64 * 1024;

// The temporary file's path, for the signal handler: a plain array, written before the handler
// can need it.
char temporaryPath[4096];

HandOverResult Failed(int status, std::string error) { return {status, std::move(error)}; }

HandOverResult DropFailed(const RelayPlace& place, SystemError error) {
  std::string text = "cannot hand the message over in " + place.dropFolder + ": " + SystemErrorText(error);
  if (place.system && error.code == ENOENT) {
    text += " (Vellomar has not run for this user, and the system's drop folder is not set up)";
  }
  int status = StatusOfFailure(error.code);
  if (status == EX_TEMPFAIL) text += "; nothing was queued";
  return Failed(status, text);
}

void AddOnce(const std::string& address, std::vector<std::string>& into) {
  for (const std::string& known : into) {
    if (known == address) return;
  }
  into.push_back(address);
}

}  // namespace

ErrorOr<size_t> MessageSource::Read(std::string& into) {
  size_t before = into.size();
  into.resize(before + kReadSize);
  auto got = ReadSome(fd_, into.data() + before, kReadSize);
  into.resize(before + (got ? got.value() : 0));
  return got;
}

std::string Shown(const std::string& text) {
  std::string shown = text;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return shown;
}

void RememberTemporary(const std::string& path) {
  std::memset(temporaryPath, 0, sizeof temporaryPath);
  if (path.size() < sizeof temporaryPath) std::memcpy(temporaryPath, path.data(), path.size());
}

const char* RememberedTemporary() { return temporaryPath; }

int StatusOfFailure(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:
      return EX_CANTCREAT;
    default:
      return EX_TEMPFAIL;
  }
}

HandOverResult CheckedAddresses(const std::vector<std::string>& lists, std::vector<std::string>& into) {
  for (const std::string& list : lists) {
    for (const ListedMailbox& mailbox : ParseAddressList(list)) {
      if (mailbox.address.size() > kMaxMailbox) {
        return Failed(EX_DATAERR, "address longer than 254 bytes: " + Shown(mailbox.address.substr(0, 40)) + "...");
      }
      if (!IsPathMailbox(mailbox.address)) return Failed(EX_DATAERR, "invalid address: " + Shown(mailbox.address));
      AddOnce(mailbox.address, into);
    }
  }
  return {};
}

HandOverResult DropMessage(const RelayPlace& place, const DropEnvelope& envelope, const std::string& pending,
                           MessageSource* source, MessageEnd* end, bool endRequired, std::string* rest) {
  // The user's own folder is made as the relay would make it; the system's is the package's.
  if (!place.system && !EntryExists(place.dropFolder)) (void)MakeDirectory(place.dropFolder, 0700);  // the create below says why not
  auto writer = DropWriter::Create(place.dropFolder, envelope);
  if (!writer) return DropFailed(place, writer.failure());
  RememberTemporary(writer.value().temporaryPath());
  Status written = writer.value().Append(pending);
  TraceFieldCounter traceFields;
  traceFields.Feed(pending);
  std::string input, message;
  while (written && source != nullptr && !end->ended()) {
    input.clear();
    auto got = source->Read(input);
    if (!got) {
      return Failed(EX_TEMPFAIL, "cannot read the message: " + SystemErrorText(got.failure()) + "; nothing was queued");
    }
    message.clear();
    if (got.value() == 0 && endRequired) {
      return Failed(EX_TEMPFAIL, "the input ended inside the message; nothing was queued");
    }
    if (got.value() == 0) {
      end->Finish(message);
      traceFields.Feed(message);
      written = writer.value().Append(message);
      break;
    }
    size_t used = end->Feed(input, message);
    if (rest != nullptr) rest->assign(input, used);
    traceFields.Feed(message);
    written = writer.value().Append(message);
  }
  // A message that went round a loop of relays (or of local forwards) stops here; the
  // temporary file goes with the writer.
  if (written && traceFields.TooMany()) {
    RememberTemporary("");
    return Failed(EX_DATAERR, "5.4.6 Too many hops: the message has " + std::to_string(traceFields.count()) +
                                  " trace fields (Received:), it is going round a loop");
  }
  if (written) written = writer.value().Finish();
  RememberTemporary("");
  if (!written) return DropFailed(place, written.failure());
  return {};
}

HandOverResult HandOver(const SendmailRequest& request, const RelayPlace& place, MessageSource& source) {
  DropEnvelope envelope;
  envelope.senderGiven = request.senderGiven;
  envelope.sender = request.sender;
  for (char c : request.fullName) envelope.fullName += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  if (!envelope.sender.empty() && !IsPathMailbox(envelope.sender)) {
    return Failed(EX_DATAERR, "invalid sender address: " + Shown(envelope.sender));
  }
  HandOverResult checked = CheckedAddresses(request.recipients, envelope.recipients);
  if (checked.status != 0) return checked;
  MessageEnd end(request.dotEnds, false);
  std::string pending;
  bool eof = false;
  if (request.extractRecipients) {
    // The header is read first: its recipients go into the envelope, which comes first.
    bool complete = false;
    std::string input;
    std::vector<std::string> named;
    while (!end.ended()) {
      input.clear();
      auto got = source.Read(input);
      if (!got) return Failed(EX_TEMPFAIL, "cannot read the message: " + SystemErrorText(got.failure()) + "; nothing was queued");
      eof = got.value() == 0;
      if (eof) end.Finish(pending);
      else end.Feed(input, pending);
      bool atEnd = eof || end.ended();
      named = HeaderRecipients(atEnd ? pending + "\n" : pending, complete);
      if (complete || atEnd || pending.size() > kMaxRecipientHeader) break;
    }
    checked = CheckedAddresses(named, envelope.recipients);
    if (checked.status != 0) return checked;
  }
  if (envelope.recipients.empty()) return Failed(EX_DATAERR, "no recipient given");
  bool more = !end.ended() && !eof;
  return DropMessage(place, envelope, pending, more ? &source : nullptr, &end);
}

}  // namespace vellomar
