#pragma once

#include <string>

namespace vellomar {

class MainWindow;

// The notice-sender address: the null reverse path, so notices travel as bounces should.
// A message whose sender begins with it gets no notice about its own failure.
constexpr const char* kNoticeSender = "<>";

// The text that takes the place of the template's "Error" line.
std::string NoticeText(const std::string& recipientLine, const std::string& subject, const std::string& reason);

// Writes a new spool file, from the template `error`, that tells the failed message's
// sender that one recipient could not be served. The file is written under its stem (no
// extension, so no dispatcher takes it half written) and renamed to its ".tml" name when
// complete, never over another file. Called with no lock held.
void SendFailureNotice(MainWindow& window, const std::string& spoolName, const std::string& reason,
                       const std::string& recipientLine);

}  // namespace vellomar
