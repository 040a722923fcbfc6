#pragma once

#include <string>
#include <string_view>

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

}  // namespace vellomar
