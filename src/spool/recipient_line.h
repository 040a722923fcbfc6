#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/error_or.h"

namespace vellomar {

// The rules for the recipient lines of a spool file. The first character is the state
// letter; "CPT" follows whatever the case.

// Longer than 3 characters, with "CPT" as its second to fourth characters.
bool IsRecipientLine(std::string_view line);
// A recipient line not yet finished (its first four characters are not "XCPT").
bool IsPendingRecipientLine(std::string_view line);
// Deferred five times already: the next 4xx reply ends it.
bool IsLastDeferral(std::string_view line);
// The text after the first ':' up to the first CR (<address>, brackets included).
std::string RecipientAddress(std::string_view line);
// The text after the first '@' up to the first '>' (or the end of the line).
std::string RecipientDomain(std::string_view line);
// The text after the first ':', line end included; "" without a colon.
std::string AfterFirstColon(std::string_view line);
// The text up to the first CR.
std::string UpToCarriageReturn(std::string_view text);
// The address that the argument of a MAIL or RCPT line names, in its brackets and without
// what follows them ("<a@b>" from " <a@b> BODY=8BITMIME\r\n"), however a client or an earlier
// version stored it; a bare address gets its brackets. "" when the argument names none.
std::string EnvelopeAddress(std::string_view argument);

}  // namespace vellomar

namespace vellomar {

class SpoolFile;

// Writes a recipient's new state letter at `position` and syncs it, leaves the file just
// after that line, and tells whether the line after it is another pending recipient. The
// errno when the letter could not be written, synced or the file repositioned.
ErrorOr<bool> RewriteStateLetter(SpoolFile& file, off_t position, char letter);

// The end of the recipients zone: the DATA line. No recipient is looked for past it, so a
// message body that quotes a recipient line is never taken for one.
bool EndsRecipientsZone(std::string_view line);

}  // namespace vellomar
