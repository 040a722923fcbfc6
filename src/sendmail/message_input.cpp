#include "sendmail/message_input.h"

#include "common/address_list.h"
#include "common/text.h"

namespace vellomar {

size_t MessageEnd::Feed(std::string_view input, std::string& out) {
  size_t at = 0;
  while (at < input.size() && !ended_) {
    char byte = input[at];
    if (!held_.empty()) {
      ++at;
      if (byte == '\n' && dotEnds_) {
        ended_ = true;
        break;
      }
      if (byte == '\r' && held_ == ".") {
        held_ += '\r';
        continue;
      }
      out += unstuff_ ? held_.substr(1) : held_;
      held_.clear();
      out += byte;
      lineStart_ = byte == '\n';
      continue;
    }
    if (lineStart_ && byte == '.') {
      held_ = ".";
      ++at;
      continue;
    }
    size_t feed = input.find('\n', at);
    size_t end = feed == std::string_view::npos ? input.size() : feed + 1;
    out.append(input.substr(at, end - at));
    lineStart_ = feed != std::string_view::npos;
    at = end;
  }
  return at;
}

void MessageEnd::Finish(std::string& out) {
  // A lone "." with no line end after it ends the message as well.
  if (!held_.empty() && !(dotEnds_ && held_ == ".")) out += unstuff_ ? held_.substr(1) : held_;
  held_.clear();
}

namespace {

bool IsRecipientField(std::string_view name) {
  return EqualsIgnoreCase(name, "To") || EqualsIgnoreCase(name, "Cc") || EqualsIgnoreCase(name, "Bcc");
}

void AddFieldRecipients(std::string_view field, std::vector<std::string>& into) {
  size_t colon = field.find(':');
  if (!IsRecipientField(field.substr(0, colon))) return;
  std::string value;
  for (char c : field.substr(colon + 1)) value += (c == '\r' || c == '\n') ? ' ' : c;
  for (const ListedMailbox& mailbox : ParseAddressList(value)) into.push_back(mailbox.address);
}

bool IsFieldStart(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  for (char c : line.substr(0, colon)) {
    if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> HeaderRecipients(std::string_view start, bool& complete) {
  std::vector<std::string> recipients;
  std::string field;
  complete = false;
  while (!start.empty()) {
    size_t feed = start.find('\n');
    if (feed == std::string_view::npos) break;
    std::string_view line = start.substr(0, feed + 1);
    start.remove_prefix(feed + 1);
    if (line[0] == ' ' || line[0] == '\t') {
      field += line;
      continue;
    }
    AddFieldRecipients(field, recipients);
    field.clear();
    if (line == "\n" || line == "\r\n" || !IsFieldStart(line)) {
      complete = true;
      return recipients;
    }
    field = line;
  }
  AddFieldRecipients(field, recipients);
  return recipients;
}

}  // namespace vellomar
