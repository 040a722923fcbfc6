#pragma once

#include <iosfwd>

#include "control/memory_controls.h"

namespace vellomar {

// The console face: the window kept in memory, every notification echoed to standard output
// as the log file has it, message boxes on standard error (nobody waits for them), and the
// start-up Modes dialog asked on the terminal when there is one.
class ConsoleControls : public MemoryControls {
 public:
  ConsoleControls(std::istream& in, std::ostream& out, std::ostream& err, bool interactive)
      : in_(in), out_(out), err_(err), interactive_(interactive) {}

  void AppendNotification(const std::string& text, const std::string& logLine) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  bool RunModesDialog() override;
  // There is no window to bring back, so nothing is hidden.
  bool CanHideWindow() override { return false; }

 private:
  bool Ask(const std::string& prompt, std::string& answer);

  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  bool interactive_;
};

}  // namespace vellomar
