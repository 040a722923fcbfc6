#include "delivery/sender_rewrite.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "common/address_list.h"
#include "common/text.h"
#include "spool/local_header_editor.h"

namespace vellomar {

namespace {

// RFC 5322's recommended line length; a longer rewritten From: is folded before its address.
constexpr size_t kFoldAt = 78;

bool IsBlankOrLineEnd(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlankOrLineEnd(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlankOrLineEnd(text.back())) text.remove_suffix(1);
  return text;
}

// Where the path that starts at `start` ends: after its closing bracket, or, for a bare
// address as some clients send it, at the first blank or line end. `start` when there is none.
size_t PathEnd(std::string_view line, size_t start) {
  if (line[start] != '<') {
    size_t end = line.find_first_of(" \t\r\n", start);
    return end == std::string_view::npos ? line.size() : end;
  }
  bool quoted = false;
  for (size_t i = start + 1; i < line.size(); ++i) {
    if (line[i] == '\\' && quoted) {
      ++i;
    } else if (line[i] == '"') {
      quoted = !quoted;
    } else if (line[i] == '>' && !quoted) {
      return i + 1;
    } else if (line[i] == '\r' || line[i] == '\n') {
      break;
    }
  }
  return start;  // an unclosed bracket: not a path we dare to cut
}

// The header's fields, each with its continuation lines; a line that begins no field stands
// alone, and the empty line that ends the header comes last, with whatever follows it.
std::vector<std::string_view> Fields(std::string_view header) {
  std::vector<std::string_view> fields;
  size_t begin = 0;
  while (begin < header.size()) {
    size_t feed = header.find('\n', begin);
    size_t end = feed == std::string_view::npos ? header.size() : feed + 1;
    std::string_view line = header.substr(begin, end - begin);
    if (line == "\r\n" || line == "\n") {
      fields.push_back(header.substr(begin));
      break;
    }
    bool continuation = (line[0] == ' ' || line[0] == '\t') && !fields.empty();
    if (continuation) {
      fields.back() = std::string_view(fields.back().data(), fields.back().size() + line.size());
    } else {
      fields.push_back(line);
    }
    begin = end;
  }
  return fields;
}

// The field's name, without the blanks that the obsolete syntax allows before the colon;
// empty when the text begins no field.
std::string_view NameOf(std::string_view field) {
  size_t colon = field.find(':');
  if (colon == 0 || colon == std::string_view::npos) return {};
  std::string_view name = field.substr(0, colon);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  bool printable = std::all_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) > ' ' && static_cast<unsigned char>(c) < 0x7f;
  });
  return printable ? name : std::string_view();
}

// The display name of the value's first mailbox exactly as written: the text before its '<'.
// Nothing when that mailbox is a bare address (its name, if any, is in a comment).
std::optional<std::string_view> WrittenDisplay(std::string_view value) {
  bool quoted = false;
  int comment = 0;
  size_t start = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '\\' && (quoted || comment > 0)) {
      ++i;
    } else if (quoted) {
      quoted = c != '"';
    } else if (comment > 0) {
      comment += c == '(' ? 1 : c == ')' ? -1 : 0;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '(') {
      comment = 1;
    } else if (c == ':') {
      start = i + 1;  // a group's name is nobody's display name
    } else if (c == '<') {
      return Trimmed(value.substr(start, i - start));
    } else if (c == ',' || c == ';') {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::string NewFrom(std::string_view display, const std::string& address) {
  std::string field = "From: " + std::string(display);
  size_t lineStart = field.rfind('\n');
  size_t lastLine = field.size() + address.size() + 3 - (lineStart == std::string::npos ? 0 : lineStart + 1);
  if (!display.empty()) field += lastLine > kFoldAt ? "\r\n " : " ";
  return field + "<" + address + ">\r\n";
}

struct FromRewrite {
  std::string from;
  // The original value for a Reply-To:, empty when it names no address a reply could reach.
  std::string replyTo;
};

// Nothing when the field already names `address` alone.
std::optional<FromRewrite> RewriteFrom(std::string_view field, const std::string& address) {
  std::string_view value = field.substr(field.find(':') + 1);
  auto mailboxes = ParseAddressList(value);  // takes the folding's line ends for blanks
  auto isAddress = [&](const ListedMailbox& m) { return EqualsIgnoreCase(m.address, address); };
  if (!mailboxes.empty() && std::all_of(mailboxes.begin(), mailboxes.end(), isAddress)) return std::nullopt;

  std::string shown;
  if (auto written = WrittenDisplay(value)) {
    shown = *written;
  } else if (!mailboxes.empty() && !mailboxes[0].display.empty()) {
    shown = DisplayPhrase(mailboxes[0].display);
  }
  FromRewrite rewrite{NewFrom(shown, address), {}};
  // A bare local name ("root") is no address anyone outside could reply to.
  auto reachable = [](const ListedMailbox& m) { return m.address.find('@') != std::string::npos; };
  if (!mailboxes.empty() && std::all_of(mailboxes.begin(), mailboxes.end(), reachable)) {
    std::string_view kept = value;
    while (!kept.empty() && (kept.back() == '\r' || kept.back() == '\n')) kept.remove_suffix(1);
    rewrite.replyTo = "Reply-To:" + std::string(kept) + "\r\n";
  }
  return rewrite;
}

}  // namespace

std::string RewriteMailLine(const std::string& mailLine, const std::string& address) {
  size_t colon = mailLine.find(':');
  if (address.empty() || colon == std::string::npos) return mailLine;
  size_t start = mailLine.find_first_not_of(" \t", colon + 1);
  if (start == std::string::npos) return mailLine;
  size_t end = PathEnd(mailLine, start);
  if (end == start || mailLine.compare(start, end - start, "<>") == 0) return mailLine;
  return mailLine.substr(0, start) + "<" + address + ">" + mailLine.substr(end);
}

std::string RewriteFromHeader(const std::string& header, const std::string& address) {
  if (address.empty()) return header;
  auto fields = Fields(header);
  bool replyToDue = std::none_of(fields.begin(), fields.end(),
                                 [](std::string_view f) { return EqualsIgnoreCase(NameOf(f), "Reply-To"); });
  std::string out;
  out.reserve(header.size() + address.size() + 16);
  for (std::string_view field : fields) {
    std::optional<FromRewrite> rewrite;
    if (EqualsIgnoreCase(NameOf(field), "From")) rewrite = RewriteFrom(field, address);
    if (!rewrite) {
      out += field;
      continue;
    }
    out += rewrite->from;
    // Only the first From: can lend its value: a header with two of them is broken already.
    if (replyToDue) out += rewrite->replyTo;
    replyToDue = false;
  }
  return out;
}

std::string HeaderRewrite::Take(const std::string& piece, bool startsLine) {
  if (done_) return piece;
  const bool ends = startsLine && (piece == "\r\n" || piece == ".\r\n");
  if (ends) {
    done_ = true;
    std::string header = std::move(header_);
    if (piece == "\r\n") return RewriteFromHeader(header + piece, address_);
    return RewriteFromHeader(header, address_) + piece;
  }
  header_ += piece;
  if (header_.size() <= kMaxHeader) return "";
  done_ = true;
  return std::move(header_);
}

}  // namespace vellomar
