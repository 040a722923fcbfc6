#pragma once

#include <map>
#include <string>
#include <vector>

namespace vellomar {

// One control of a dialog template: its kind, id (-1 when nobody addresses it), text and
// rectangle in dialog units.
struct ControlTemplate {
  std::string kind;
  int id = -1;
  std::string text;
  int x = 0, y = 0, width = 0, height = 0;
};

struct DialogTemplate {
  int id = 0;
  std::string caption;
  int width = 0, height = 0;
  std::vector<ControlTemplate> controls;
};

// Reads the templates of resources/dialogs.txt, keyed by dialog id. A line that cannot be
// read is skipped; `error` (when given) receives the first such line.
std::map<int, DialogTemplate> ParseDialogTemplates(const std::string& text, std::string* error = nullptr);

// Reads resources/strings.txt: id, then a quoted text.
std::map<int, std::string> ParseStringTable(const std::string& text);

}  // namespace vellomar
