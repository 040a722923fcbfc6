#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "platform/error_or.h"
#include "sendmail/relay_place.h"
#include "sendmail/sendmail_options.h"
#include "spool/drop_file.h"

namespace vellomar {

// The input a message is read from: standard input, in large reads, or a pipe's end.
class MessageSource {
 public:
  explicit MessageSource(int fd) : fd_(fd) {}
  // The next bytes, appended to `into`; 0 at the end of the input.
  ErrorOr<size_t> Read(std::string& into);

 private:
  int fd_;
};

// The outcome of one hand-over: a sysexits status, and the message for standard error when
// it failed.
struct HandOverResult {
  int status = 0;
  std::string error;
};

// The addresses of recipient arguments or header fields, each checked: an address a mail
// path cannot hold (a control character, over 254 bytes, a blank outside quotes) is a
// data error naming it.
HandOverResult CheckedAddresses(const std::vector<std::string>& lists, std::vector<std::string>& into);

// Writes one message into the drop folder, from `pending` (bytes already read) and the rest
// of the source up to the message's end; what was read beyond it goes to `rest`. With
// `endRequired` (SMTP data) the input's end before the message's is a failure. Exit status 0
// only once the message is there, complete and synced.
HandOverResult DropMessage(const RelayPlace& place, const DropEnvelope& envelope, const std::string& pending,
                           MessageSource* source, class MessageEnd* end, bool endRequired = false,
                           std::string* rest = nullptr);

// -bm: the message on standard input, recipients from the arguments (and with -t the header).
HandOverResult HandOver(const SendmailRequest& request, const RelayPlace& place, MessageSource& source);

// The status a failed system call on the drop folder gives: 73 when the folder cannot take
// files (missing, not writable), 75 when the failure may pass (a full disk).
int StatusOfFailure(int error);

// Where a signal handler finds the temporary file it must remove: set while one is written.
void RememberTemporary(const std::string& path);
// The path remembered, NUL-terminated; empty when none.
const char* RememberedTemporary();

// An address as an error message may show it: control characters as '?'.
std::string Shown(const std::string& text);

}  // namespace vellomar
