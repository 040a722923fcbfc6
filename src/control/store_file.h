#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vellomar {

// One file of the settings store, held as its lines so that a rewrite keeps what it does not
// touch (comments, blank lines, other keys). A key is a section "[Software\Vellomar]"; a
// value is a line "name=text" with "\\", "\n" and "\r" escaped in the text. Names compare
// exactly; texts are taken as stored, never trimmed.
class StoreFile {
 public:
  static StoreFile Parse(const std::string& content);
  std::string Serialize() const;

  bool HasKey(const std::string& key) const;
  void AddKey(const std::string& key);
  std::optional<std::string> Get(const std::string& key, const std::string& name) const;
  // Adds the key when missing.
  void Set(const std::string& key, const std::string& name, const std::string& text);
  // The names of the keys one level below `key` ("[key\\name]"), in the file's order.
  std::vector<std::string> SubkeysOf(const std::string& key) const;
  // The key's header and values; the lines of any other key stay.
  void RemoveKey(const std::string& key);

  static std::string Escape(const std::string& text);
  static std::string Unescape(const std::string& text);

 private:
  // Index of the key's header line, or the number of lines when absent.
  size_t FindKey(const std::string& key) const;
  // One past the last line that belongs to the key whose header is at `header`.
  size_t EndOfKey(size_t header) const;

  std::vector<std::string> lines_;
};

}  // namespace vellomar
