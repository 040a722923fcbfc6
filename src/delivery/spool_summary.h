#pragma once

#include <string>

#include "spool/mail_summary.h"

namespace vellomar {

class SpoolFile;

// What the window shows of a spool file, read from its start: the sender after the MAIL
// line's first ':' (line end included), the first run of recipient lines counted, the text
// of the Subject line after its colon and any blanks (line end included), and the file's
// length. Values not found
// stay empty. `mailLine` receives the MAIL line.
MailSummary ReadSpoolSummary(SpoolFile& file, std::string& mailLine);

}  // namespace vellomar
