#include "qt/dialog_template.h"

#include <sstream>

namespace vellomar {

namespace {

// The quoted text of a line; `rest` receives what follows the closing quote.
bool Quoted(const std::string& line, std::string& text, std::string& rest) {
  size_t open = line.find('"');
  size_t close = open == std::string::npos ? open : line.find('"', open + 1);
  if (close == std::string::npos) return false;
  text = line.substr(open + 1, close - open - 1);
  rest = line.substr(close + 1);
  return true;
}

bool ReadLine(const std::string& line, std::string& kind, int& id, std::string& text, std::vector<int>& numbers) {
  std::istringstream head(line);
  std::string rest;
  if (!(head >> kind >> id) || !Quoted(line, text, rest)) return false;
  std::istringstream tail(rest);
  for (int n; tail >> n;) numbers.push_back(n);
  return tail.eof();
}

}  // namespace

std::map<int, DialogTemplate> ParseDialogTemplates(const std::string& text, std::string* error) {
  std::map<int, DialogTemplate> dialogs;
  DialogTemplate* current = nullptr;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::string kind, label;
    int id = 0;
    std::vector<int> numbers;
    bool ok = ReadLine(line, kind, id, label, numbers);
    if (ok && kind == "dialog" && numbers.size() == 2) {
      current = &dialogs[id];
      *current = DialogTemplate{id, label, numbers[0], numbers[1], {}};
    } else if (ok && current != nullptr && numbers.size() == 4) {
      current->controls.push_back({kind, id, label, numbers[0], numbers[1], numbers[2], numbers[3]});
    } else if (error != nullptr && error->empty()) {
      *error = line;
    }
  }
  return dialogs;
}

std::map<int, std::string> ParseStringTable(const std::string& text) {
  std::map<int, std::string> strings;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream head(line);
    int id;
    std::string value, rest;
    if (head >> id && Quoted(line, value, rest)) strings[id] = value;
  }
  return strings;
}

}  // namespace vellomar
