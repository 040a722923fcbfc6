#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vellomar {

// One mailbox an address list names: its address, and the name shown with it.
struct ListedMailbox {
  // "jane@example.org", "root": as written, comments and blanks around it gone; a source
  // route before it dropped.
  std::string address;
  // The display name ("Jane Doe" of "Jane Doe <jane@example.org>"), else the text of a
  // comment after the address ("Cron Daemon" of "root (Cron Daemon)"); without quotes.
  std::string display;
};

// The mailboxes of an RFC 5322 address list, as a To:, Cc: or Bcc: header (unfolded), a
// recipient argument of sendmail or an alias's targets give it: mailboxes separated by
// commas, each a bare address or a name with the address in angle brackets, comments in
// parentheses anywhere, quoted text kept whole, and groups ("team: a@x, b@y;") giving their
// members; an empty group gives none. Elements that hold no address are skipped.
std::vector<ListedMailbox> ParseAddressList(std::string_view text);

// The list as written, each address that has no domain given '@' and `domain` ("root" and
// "Admin <root>" become "root@mypc.example" and "Admin <root@mypc.example>"), as a local
// submission is qualified before it leaves the machine. Everything else (display names,
// comments, quoted text, groups, blanks and folding line ends) stays byte for byte; what
// reads as no single address (an empty element, "Jane Doe") is left as it is.
std::string QualifiedAddressList(std::string_view text, std::string_view domain);

// The local part of an address: all of it without a domain, else what comes before the
// last '@'.
std::string_view LocalPart(std::string_view address);
// The domain of an address, empty when it has none.
std::string_view DomainOf(std::string_view address);

}  // namespace vellomar
