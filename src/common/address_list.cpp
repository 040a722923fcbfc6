#include "common/address_list.h"

#include <algorithm>

namespace vellomar {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

// A display name as it reads: quotes gone, quoted pairs undone, runs of blanks one blank.
std::string Unquoted(std::string_view text) {
  std::string out;
  bool blank = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') continue;
    if (c == '\\' && i + 1 < text.size()) c = text[++i];
    if (IsBlank(c)) {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) out += ' ';
    blank = false;
    out += c;
  }
  return out;
}

// One element of the list as it is read: the text outside brackets and comments, the text
// in angle brackets, the first comment.
struct Element {
  std::string outside;
  std::string angle;
  std::string comment;
  bool hasAngle = false;

  void Finish(std::vector<ListedMailbox>& into) {
    ListedMailbox mailbox;
    if (hasAngle) {
      std::string_view route(angle);
      // "<@a,@b:jane@x>": the route goes, as servers ignore it.
      if (!route.empty() && route.front() == '@' && route.find(':') != std::string_view::npos) {
        route.remove_prefix(route.find(':') + 1);
      }
      mailbox.address = Trimmed(route);
      mailbox.display = Unquoted(outside);
    } else {
      mailbox.address = Trimmed(outside);
      mailbox.display = Unquoted(comment);
    }
    if (mailbox.display.empty()) mailbox.display = Unquoted(comment);
    if (!mailbox.address.empty()) into.push_back(std::move(mailbox));
    *this = Element{};
  }
};

}  // namespace

std::vector<ListedMailbox> ParseAddressList(std::string_view text) {
  std::vector<ListedMailbox> mailboxes;
  Element element;
  bool quoted = false, inAngle = false;
  int commentDepth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    std::string& target = commentDepth > 0 ? element.comment : inAngle ? element.angle : element.outside;
    if (c == '\\' && (quoted || commentDepth > 0) && i + 1 < text.size()) {
      target += c;
      target += text[++i];
    } else if (quoted) {
      if (c == '"') quoted = false;
      target += c;
    } else if (commentDepth > 0) {
      if (c == '(') ++commentDepth;
      if (c == ')') --commentDepth;
      if (commentDepth > 0) target += c;
    } else if (c == '(') {
      commentDepth = 1;
      if (!element.comment.empty()) element.comment += ' ';
    } else if (c == '"') {
      quoted = true;
      target += c;
    } else if (c == '<' && !inAngle) {
      inAngle = element.hasAngle = true;
    } else if (c == '>' && inAngle) {
      inAngle = false;
    } else if (!inAngle && (c == ',' || c == ';')) {
      element.Finish(mailboxes);
    } else if (!inAngle && c == ':') {
      // A group's name: what came before the colon names no mailbox.
      element = Element{};
    } else {
      target += c;
    }
  }
  element.Finish(mailboxes);
  return mailboxes;
}

namespace {

// Where one element of a list written by hand holds its address, as a scan finds it.
struct AddressSpan {
  // Inside angle brackets: from after '<' to '>'; without: the one run of words outside
  // comments, quotes included. `runs` counts such runs (two are a name, not an address).
  bool hasAngle = false;
  size_t begin = std::string_view::npos;
  size_t end = std::string_view::npos;
  int runs = 0;
  bool hasAt = false;
  bool hasSpecial = false;

  // Where "@domain" goes, or npos when the element is no address without a domain.
  size_t Insertion() const {
    if (hasAt || hasSpecial || begin == std::string_view::npos || end <= begin) return std::string_view::npos;
    if (!hasAngle && runs != 1) return std::string_view::npos;
    return end;
  }
};

bool IsWordByte(char c) {
  return !IsBlank(c) && std::string_view("()<>[]:;@\\,\"").find(c) == std::string_view::npos;
}

}  // namespace

std::string QualifiedAddressList(std::string_view text, std::string_view domain) {
  std::vector<size_t> insertions;
  AddressSpan span;
  bool quoted = false, inAngle = false, inRun = false;
  int commentDepth = 0;
  auto finish = [&] {
    if (size_t at = span.Insertion(); at != std::string_view::npos) insertions.push_back(at);
    span = AddressSpan{};
    inRun = false;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '\\') ++i;
      if (c == '"') quoted = false;
      if (!inAngle) span.end = std::min(i + 1, text.size());
      continue;
    }
    if (commentDepth > 0) {
      if (c == '\\') ++i;
      if (c == '(') ++commentDepth;
      if (c == ')') --commentDepth;
      continue;
    }
    if (inAngle) {
      if (c == '>') {
        inAngle = false;
        span.end = i;
      } else if (c == '@') {
        span.hasAt = true;
      } else if (c == '"') {
        quoted = true;
      } else if (IsBlank(c) || !IsWordByte(c)) {
        span.hasSpecial = span.hasSpecial || c != '.';
      }
      continue;
    }
    if (c == '(') {
      commentDepth = 1;
      inRun = false;
    } else if (c == '<') {
      inAngle = span.hasAngle = true;
      span.begin = i + 1;
      span.end = std::string_view::npos;
      span.hasSpecial = span.hasAt = false;
    } else if (c == ',' || c == ';') {
      finish();
    } else if (c == ':') {
      span = AddressSpan{};  // what came before names a group
      inRun = false;
    } else if (span.hasAngle) {
      // After the brackets: nothing more belongs to the address.
    } else if (c == '@') {
      span.hasAt = true;
    } else if (IsBlank(c)) {
      inRun = false;
    } else if (c == '"' || IsWordByte(c)) {
      if (!inRun) {
        ++span.runs;
        span.begin = i;
        inRun = true;
      }
      if (c == '"') quoted = true;
      span.end = i + 1;
    } else {
      span.hasSpecial = true;
    }
  }
  if (quoted || inAngle || commentDepth > 0) return std::string(text);  // unbalanced: not ours to mend
  finish();
  std::string out(text);
  for (auto at = insertions.rbegin(); at != insertions.rend(); ++at) out.insert(*at, "@" + std::string(domain));
  return out;
}

std::string_view LocalPart(std::string_view address) {
  size_t at = address.rfind('@');
  return at == std::string_view::npos ? address : address.substr(0, at);
}

std::string_view DomainOf(std::string_view address) {
  size_t at = address.rfind('@');
  return at == std::string_view::npos ? std::string_view() : address.substr(at + 1);
}

}  // namespace vellomar
