#pragma once

#include <string>
#include <string_view>

namespace vellomar {

// What is mended in the header of a message from a local user before it leaves the machine.
struct HeaderEdit {
  // A From: whose one mailbox is local (bare, or at `localDomain`) is given `localSender`
  // when that is set, else a bare one gets the local domain; its display name stays.
  std::string localDomain;
  std::string localSender;
  // A header without From: gets one with this address and display name (no address: none).
  std::string fromAddress;
  std::string fromName;
  // Bcc: goes: its recipients are in the envelope, and nobody else is to see them.
  bool removeBcc = false;
  // A header without Date: or Message-ID: gets these (empty: nothing added).
  std::string date;
  std::string messageId;
};

// Mends the header of message data in its stored form (CR LF lines, dot-stuffed, ending in
// the end-of-data line) as it streams past, one field at a time: fields are held only while
// they are looked at, so memory stays small whatever the message's size. Addresses without a
// domain in the fields that carry addresses (To:, Cc:, Reply-To:, the Resent- fields...) get
// '@' and the local domain, as the From: does. The header ends at its empty line, at the end
// of the data, or at the first line that is no field (which then gets an empty line before
// it, so that it stays body). A field longer than 64 KB is given up on: copied through whole,
// unmended, its folding and all; the editor adds no line end to the message's own lines.
// Pure logic; one message per object.
class LocalHeaderEditor {
 public:
  explicit LocalHeaderEditor(HeaderEdit edit) : edit_(std::move(edit)) {}
  void Feed(std::string_view stored, std::string& out);
  // The Subject: as the header gave it (unfolded, without its line end); "" until seen.
  const std::string& subject() const { return subject_; }

 private:
  // What becomes of the rest of a line that was too long to hold.
  enum class RestOfLine { Held, Copied, Dropped };

  void Line(const std::string& line, std::string& out);
  void LongLine(std::string& out);
  void GiveUpField(std::string_view begun, std::string& out);
  void NoteField(std::string_view name);
  void FlushField(std::string& out);
  void EndHeader(std::string& out);
  std::string MendedFrom(const std::string& field) const;

  const HeaderEdit edit_;
  bool inHeader_ = true;
  std::string line_;
  RestOfLine rest_ = RestOfLine::Held;
  std::string field_;
  bool droppingField_ = false;
  // The field was given up on: its lines go through as they come.
  bool passingField_ = false;
  bool sawFrom_ = false;
  bool sawDate_ = false;
  bool sawMessageId_ = false;
  std::string subject_;
};

// A display name as a header writes it: as it is when it is plain words, else quoted.
std::string DisplayPhrase(std::string_view name);

}  // namespace vellomar
