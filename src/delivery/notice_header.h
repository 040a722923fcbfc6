#pragma once

#include <string>

namespace vellomar {

// Completes the header of a failure notice while its template is copied: the mailer daemon's
// address in the From line is given the machine's name ("MAILER-DAEMON@host"), and a Date
// and a Message-ID go in before the header's end when the template has none, as a notice
// without them is refused or misfiled by many servers. Templates installed by earlier
// versions are completed the same way. Lines outside the header pass unchanged.
class NoticeHeader {
 public:
  // `unique` tells this notice's Message-ID from every other (the notice's file name, say).
  NoticeHeader(std::string hostName, const std::string& unique);
  // What to write for one template line: the line, mended, or with the missing headers
  // before it.
  std::string Copy(const std::string& line);

 private:
  enum class Part { Envelope, Header, Body };
  std::string Qualified(const std::string& fromLine) const;

  std::string hostName_;
  std::string messageId_;
  Part part_ = Part::Envelope;
  bool hasDate_ = false;
  bool hasMessageId_ = false;
};

}  // namespace vellomar
