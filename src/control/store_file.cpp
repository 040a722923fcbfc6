#include "control/store_file.h"

namespace vellomar {

namespace {

bool IsHeader(const std::string& line) { return line.size() >= 2 && line.front() == '[' && line.back() == ']'; }

bool IsIgnored(const std::string& line) { return line.empty() || line[0] == ';' || line[0] == '#'; }

// The value name of a line "name=text", if the line is one.
std::optional<std::string> NameOf(const std::string& line) {
  if (IsIgnored(line) || IsHeader(line)) return std::nullopt;
  size_t equals = line.find('=');
  if (equals == std::string::npos) return std::nullopt;
  return line.substr(0, equals);
}

}  // namespace

StoreFile StoreFile::Parse(const std::string& content) {
  StoreFile file;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    // Every CR before the line feed: an editor that doubled the line ends must not hide a key,
    // nor leave a CR that a rewrite would drop, so that a value read differently afterwards.
    while (!line.empty() && line.back() == '\r') line.pop_back();
    file.lines_.push_back(std::move(line));
    start = end + 1;
  }
  return file;
}

std::string StoreFile::Serialize() const {
  std::string content;
  for (const std::string& line : lines_) content += line + "\n";
  return content;
}

size_t StoreFile::FindKey(const std::string& key) const {
  const std::string header = "[" + key + "]";
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i] == header) return i;
  }
  return lines_.size();
}

size_t StoreFile::EndOfKey(size_t header) const {
  size_t end = header + 1;
  while (end < lines_.size() && !IsHeader(lines_[end])) ++end;
  return end;
}

bool StoreFile::HasKey(const std::string& key) const { return FindKey(key) < lines_.size(); }

void StoreFile::AddKey(const std::string& key) {
  if (!HasKey(key)) lines_.push_back("[" + key + "]");
}

std::optional<std::string> StoreFile::Get(const std::string& key, const std::string& name) const {
  size_t header = FindKey(key);
  if (header == lines_.size()) return std::nullopt;
  for (size_t i = header + 1, end = EndOfKey(header); i < end; ++i) {
    if (NameOf(lines_[i]) == name) return Unescape(lines_[i].substr(name.size() + 1));
  }
  return std::nullopt;
}

void StoreFile::Set(const std::string& key, const std::string& name, const std::string& text) {
  AddKey(key);
  size_t header = FindKey(key);
  size_t end = EndOfKey(header);
  std::string line = name + "=" + Escape(text);
  for (size_t i = header + 1; i < end; ++i) {
    if (NameOf(lines_[i]) == name) {
      lines_[i] = line;
      return;
    }
  }
  // After the key's last value, before any blank lines or comments that close it.
  size_t at = end;
  while (at > header + 1 && IsIgnored(lines_[at - 1])) --at;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), line);
}

std::vector<std::string> StoreFile::SubkeysOf(const std::string& key) const {
  const std::string prefix = "[" + key + "\\";
  std::vector<std::string> names;
  for (const std::string& line : lines_) {
    if (!IsHeader(line) || line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string name = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    if (!name.empty() && name.find('\\') == std::string::npos) names.push_back(std::move(name));
  }
  return names;
}

void StoreFile::RemoveKey(const std::string& key) {
  size_t header = FindKey(key);
  if (header == lines_.size()) return;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header),
               lines_.begin() + static_cast<std::ptrdiff_t>(EndOfKey(header)));
}

std::string StoreFile::Escape(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string StoreFile::Unescape(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char next = text[i + 1];
      if (next == '\\' || next == 'n' || next == 'r') {
        plain += next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
        ++i;
        continue;
      }
    }
    plain += text[i];
  }
  return plain;
}

}  // namespace vellomar
