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

std::string RecipientDomain(std::string_view line) {
  size_t at = line.find('@');
  if (at == std::string_view::npos) return "";
  std::string_view rest = line.substr(at + 1);
  return std::string(rest.substr(0, rest.find('>')));
}

}  // namespace vellomar

#include "spool/spool_file.h"

namespace vellomar {

bool RewriteStateLetter(SpoolFile& file, off_t position, char letter) {
  file.Seek(position);
  file.Write(std::string_view(&letter, 1));
  std::string line, lookAhead;
  ReadLine(file, line);
  ReadLine(file, lookAhead);
  file.Seek(position);
  ReadLine(file, line);
  return IsPendingRecipientLine(lookAhead);
}

bool EndsRecipientsZone(std::string_view line) { return StartsWithIgnoreCase(line, "DATA"); }

}  // namespace vellomar
