#include "spool/recipient_line.h"

#include "common/text.h"

namespace vellomar {

bool IsRecipientLine(std::string_view line) { return line.size() > 3 && EqualsIgnoreCase(line.substr(1, 3), "CPT"); }

bool IsPendingRecipientLine(std::string_view line) {
  return IsRecipientLine(line) && !StartsWithIgnoreCase(line, "XCPT");
}

bool IsLastDeferral(std::string_view line) { return StartsWithIgnoreCase(line, "WCPT"); }

std::string AfterFirstColon(std::string_view line) {
  size_t colon = line.find(':');
  return colon == std::string_view::npos ? std::string() : std::string(line.substr(colon + 1));
}

std::string UpToCarriageReturn(std::string_view text) { return std::string(text.substr(0, text.find('\r'))); }

std::string RecipientAddress(std::string_view line) { return UpToCarriageReturn(AfterFirstColon(line)); }

std::string EnvelopeAddress(std::string_view argument) {
  size_t start = argument.find_first_not_of(" \t");
  if (start == std::string_view::npos) return "";
  argument.remove_prefix(start);
  if (argument.front() == '<') {
    size_t close = argument.find('>');
    return close == std::string_view::npos ? "" : std::string(argument.substr(0, close + 1));
  }
  std::string_view bare = argument.substr(0, argument.find_first_of(" \t\r\n"));
  // GCC 12 at -O3 warns of an overlap (-Wrestrict) inside std::string's operator+ inlined here: a
  // known false positive of that compiler (its bug 105329); silenced for this line alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  return bare.empty() ? "" : "<" + std::string(bare) + ">";
#pragma GCC diagnostic pop
}

std::string RecipientDomain(std::string_view line) {
  size_t at = line.find('@');
  if (at == std::string_view::npos) return "";
  std::string_view rest = line.substr(at + 1);
  return std::string(rest.substr(0, rest.find('>')));
}

}  // namespace vellomar

#include "spool/spool_file.h"

namespace vellomar {

ErrorOr<bool> RewriteStateLetter(SpoolFile& file, off_t position, char letter) {
  Status done = file.Seek(position);
  if (done) done = file.Write(std::string_view(&letter, 1));
  if (done) done = file.SyncData();
  std::string line, lookAhead;
  if (done) {
    ReadLine(file, line);
    ReadLine(file, lookAhead);
    done = file.Seek(position);
  }
  if (!done) return ErrorOr<bool>::Fail(done.failure());
  ReadLine(file, line);
  return IsPendingRecipientLine(lookAhead);
}

bool EndsRecipientsZone(std::string_view line) { return StartsWithIgnoreCase(line, "DATA"); }

}  // namespace vellomar
