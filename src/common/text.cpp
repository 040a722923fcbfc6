#include "common/text.h"

namespace vellomar {

char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ToUpperAscii(a[i]) != ToUpperAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string ReplyText(std::string_view reply) {
  reply = reply.substr(0, reply.find('\r'));
  if (reply.size() > kMaxReplyText) {
    size_t cut = kMaxReplyText;
    // Back to the first byte of the character the cut falls in.
    while (cut > 0 && (static_cast<unsigned char>(reply[cut]) & 0xC0) == 0x80) --cut;
    reply = reply.substr(0, cut);
  }
  std::string text(reply);
  for (char& c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = ' ';
  }
  return text;
}

}  // namespace vellomar
