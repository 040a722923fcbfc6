#include "delivery/spool_summary.h"

#include <climits>

#include "common/text.h"
#include "spool/recipient_line.h"
#include "spool/spool_file.h"

namespace vellomar {

namespace {

// The next line, the last one included even when the file ends without its line feed.
bool NextLine(SpoolFile& file, std::string& line) { return ReadLine(file, line) || !line.empty(); }

template <typename Predicate>
bool FindLine(SpoolFile& file, std::string& line, Predicate found) {
  while (NextLine(file, line)) {
    if (found(line)) return true;
  }
  return false;
}

bool IsMailLine(const std::string& line) { return StartsWithIgnoreCase(line, "MAIL"); }
// "Subject", blanks allowed before its colon as RFC 5322 once allowed; npos when the line is
// no Subject header, else where its text starts, the blanks after the colon skipped.
size_t SubjectText(const std::string& line) {
  if (!StartsWithIgnoreCase(line, "Subject")) return std::string::npos;
  size_t colon = line.find_first_not_of(" \t", 7);
  if (colon == std::string::npos || line[colon] != ':') return std::string::npos;
  size_t text = line.find_first_not_of(" \t", colon + 1);
  return text == std::string::npos ? line.size() : text;
}
bool IsSubjectLine(const std::string& line) { return SubjectText(line) != std::string::npos; }
bool IsRecipient(const std::string& line) { return IsRecipientLine(line); }

int32_t ClampedLength(SpoolFile& file) {
  auto length = file.Length();
  if (!length) return 0;
  return length.value() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length.value());
}

// Each search starts where the one before it stopped; the end of the file ends them all.
void ReadFields(SpoolFile& file, MailSummary& summary, std::string& mailLine) {
  std::string line;
  if (!FindLine(file, line, IsMailLine)) return;
  mailLine = line;
  summary.sender = AfterFirstColon(mailLine);
  if (!FindLine(file, line, IsRecipient)) return;
  bool more;
  do ++summary.recipientCount;
  while ((more = NextLine(file, line)) && IsRecipientLine(line));
  if (!more) return;
  // The search for the subject starts with the line that ended the run.
  if (!IsSubjectLine(line) && !FindLine(file, line, IsSubjectLine)) return;
  summary.subject = line.substr(SubjectText(line));
}

}  // namespace

MailSummary ReadSpoolSummary(SpoolFile& file, std::string& mailLine) {
  MailSummary summary;
  summary.sender.clear();
  summary.subject.clear();
  mailLine.clear();
  // A file that cannot be rewound shows an empty summary; the worker then holds it.
  if (!file.Rewind()) return summary;
  ReadFields(file, summary, mailLine);
  summary.size = ClampedLength(file);
  return summary;
}

}  // namespace vellomar
