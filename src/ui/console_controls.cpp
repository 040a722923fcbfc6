#include "ui/console_controls.h"

#include <istream>
#include <ostream>

#include "control/dialog_fields.h"

namespace vellomar {

void ConsoleControls::AppendNotification(const std::string& text, const std::string& logLine) {
  MemoryControls::AppendNotification(text, logLine);
  // The log's own line ends in CR LF; a terminal wants a plain line feed.
  std::string line = logLine;
  if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) line.erase(line.size() - 2);
  out_ << line << '\n' << std::flush;
}

void ConsoleControls::ShowMessage(const std::string& text, const std::string& caption) {
  MemoryControls::ShowMessage(text, caption);
  err_ << caption << ": " << text << '\n' << std::flush;
}

// An empty answer keeps what the field held.
bool ConsoleControls::Ask(const std::string& prompt, std::string& field) {
  out_ << prompt << "[" << field << "] " << std::flush;
  std::string answer;
  if (!std::getline(in_, answer)) return false;
  if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  if (!answer.empty()) field = answer;
  return true;
}

bool ConsoleControls::RunModesDialog() {
  if (!interactive_) return false;
  ModesFields fields = LoadModesFields();
  for (;;) {
    std::string mode = fields.trueRelaying ? "1" : "2";
    if (!Ask("Relaying mode, 1 = true relaying (each recipient's own mail exchanger), "
             "2 = simple relaying (one next relay) : ", mode) ||
        !Ask("DNS address : ", fields.dns) ||
        !Ask("Alternate SMTP server (only used when true relaying fails) : ", fields.alternate) ||
        !Ask("Next SMTP relay : ", fields.smtp)) {
      return false;
    }
    fields.trueRelaying = mode == "1";
    if (auto error = CheckModesFields(fields)) {
      ShowMessage(error->text, error->caption);
      continue;
    }
    return StoreModesFields(fields);
  }
}

}  // namespace vellomar
