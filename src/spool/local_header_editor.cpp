#include "spool/local_header_editor.h"

#include "common/address_list.h"
#include "common/local_names.h"
#include "common/text.h"
#include "spool/spool_format.h"

namespace vellomar {

namespace {

constexpr size_t kMaxHeaderLine = 64 * 1024;

// The field's name when the line begins one: printable characters up to a colon.
std::string_view FieldName(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return {};
  for (char c : line.substr(0, colon)) {
    if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f) return {};
  }
  return line.substr(0, colon);
}

// The field's value on one line: line ends of folding taken out, blanks around it trimmed.
std::string Unfolded(std::string_view field) {
  std::string value;
  for (char c : field.substr(field.find(':') + 1)) {
    if (c != '\r' && c != '\n') value += c;
  }
  size_t first = value.find_first_not_of(" \t");
  size_t last = value.find_last_not_of(" \t");
  return first == std::string::npos ? "" : value.substr(first, last - first + 1);
}

// The fields a mail program fills with addresses, where one without a domain means a user of
// this machine.
bool CarriesAddresses(std::string_view name) {
  static constexpr std::string_view kFields[] = {
      "From",        "Sender",          "Reply-To",   "To",           "Cc",           "Bcc",
      "Resent-From", "Resent-Sender",   "Resent-To",  "Resent-Cc",    "Resent-Bcc",   "Resent-Reply-To",
      "Errors-To",   "Return-Receipt-To", "Disposition-Notification-To", "Mail-Followup-To", "Mail-Reply-To",
      "Apparently-To"};
  for (std::string_view field : kFields) {
    if (EqualsIgnoreCase(name, field)) return true;
  }
  return false;
}

}  // namespace

std::string DisplayPhrase(std::string_view name) {
  bool plain = true;
  for (char c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    bool word = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
                std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos || byte >= 0x80;
    plain = plain && word;
  }
  if (plain) return std::string(name);
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) quoted += c;
  }
  return quoted + "\"";
}

void LocalHeaderEditor::Feed(std::string_view stored, std::string& out) {
  while (!stored.empty()) {
    if (!inHeader_) {
      out.append(stored);
      return;
    }
    size_t feed = stored.find('\n');
    size_t take = feed == std::string_view::npos ? stored.size() : feed + 1;
    std::string_view piece = stored.substr(0, take);
    stored.remove_prefix(take);
    if (rest_ != RestOfLine::Held) {
      if (rest_ == RestOfLine::Copied) out.append(piece);
      if (piece.back() == '\n') rest_ = RestOfLine::Held;
      continue;
    }
    line_.append(piece);
    if (line_.back() == '\n') {
      std::string line = std::move(line_);
      line_.clear();
      Line(line, out);
    } else if (line_.size() > kMaxHeaderLine) {
      LongLine(out);
    }
  }
}

void LocalHeaderEditor::Line(const std::string& line, std::string& out) {
  bool continuation = line[0] == ' ' || line[0] == '\t';
  if (continuation && (droppingField_ || passingField_ || !field_.empty())) {
    if (passingField_) out += line;
    if (droppingField_ || passingField_) return;
    field_ += line;
    if (field_.size() > kMaxHeaderLine) GiveUpField({}, out);
    return;
  }
  FlushField(out);
  if (line == "\r\n" || line == kEndOfDataLine) {
    EndHeader(out);
    out += line;
    return;
  }
  std::string_view name = FieldName(line);
  if (name.empty()) {
    EndHeader(out);
    out += "\r\n" + line;
    return;
  }
  droppingField_ = edit_.removeBcc && EqualsIgnoreCase(name, "Bcc");
  if (!droppingField_) field_ = line;
}

// No line end has come within the bound: the line is held no longer. A field's line (its
// first or a continuation) gives the field up, and the rest of the line follows it; any
// other line is body.
void LocalHeaderEditor::LongLine(std::string& out) {
  std::string begun = std::move(line_);
  line_.clear();
  bool continuation = begun[0] == ' ' || begun[0] == '\t';
  if (continuation && (droppingField_ || passingField_ || !field_.empty())) {
    if (!droppingField_) GiveUpField(begun, out);
    rest_ = droppingField_ ? RestOfLine::Dropped : RestOfLine::Copied;
    return;
  }
  FlushField(out);
  std::string_view name = FieldName(begun);
  if (name.empty()) {
    EndHeader(out);
    out += "\r\n" + begun;
    return;
  }
  droppingField_ = edit_.removeBcc && EqualsIgnoreCase(name, "Bcc");
  if (!droppingField_) {
    field_ = std::move(begun);
    GiveUpField({}, out);
  }
  rest_ = droppingField_ ? RestOfLine::Dropped : RestOfLine::Copied;
}

// What is held of the field goes out unmended, then `begun`, and the field's later lines as
// they come.
void LocalHeaderEditor::GiveUpField(std::string_view begun, std::string& out) {
  NoteField(FieldName(field_));
  out += field_;
  out += begun;
  field_.clear();
  passingField_ = true;
}

void LocalHeaderEditor::NoteField(std::string_view name) {
  sawFrom_ = sawFrom_ || EqualsIgnoreCase(name, "From");
  sawDate_ = sawDate_ || EqualsIgnoreCase(name, "Date");
  sawMessageId_ = sawMessageId_ || EqualsIgnoreCase(name, "Message-ID");
}

void LocalHeaderEditor::FlushField(std::string& out) {
  droppingField_ = passingField_ = false;
  if (field_.empty()) return;
  const std::string name(FieldName(field_));
  NoteField(name);
  if (subject_.empty() && EqualsIgnoreCase(name, "Subject")) subject_ = Unfolded(field_);
  std::string field = EqualsIgnoreCase(name, "From") ? MendedFrom(field_) : field_;
  if (!edit_.localDomain.empty() && CarriesAddresses(name)) {
    size_t value = name.size() + 1;
    field = field.substr(0, value) + QualifiedAddressList(std::string_view(field).substr(value), edit_.localDomain);
  }
  out += field;
  field_.clear();
}

std::string LocalHeaderEditor::MendedFrom(const std::string& field) const {
  auto mailboxes = ParseAddressList(Unfolded(field));
  if (mailboxes.size() != 1 || !IsLocalAddress(mailboxes[0].address, edit_.localDomain)) return field;
  LocalNameRules rules{edit_.localDomain, "", edit_.localSender};
  std::string address = ResolveSender(mailboxes[0].address, rules);
  if (address == mailboxes[0].address) return field;
  std::string display = mailboxes[0].display.empty() ? "" : DisplayPhrase(mailboxes[0].display) + " ";
  return "From: " + display + "<" + address + ">\r\n";
}

void LocalHeaderEditor::EndHeader(std::string& out) {
  FlushField(out);
  inHeader_ = false;
  if (!sawFrom_ && !edit_.fromAddress.empty()) {
    std::string display = edit_.fromName.empty() ? "" : DisplayPhrase(edit_.fromName) + " ";
    out += "From: " + display + "<" + edit_.fromAddress + ">\r\n";
  }
  if (!sawDate_ && !edit_.date.empty()) out += "Date: " + edit_.date + "\r\n";
  if (!sawMessageId_ && !edit_.messageId.empty()) out += "Message-ID: " + edit_.messageId + "\r\n";
}

}  // namespace vellomar
