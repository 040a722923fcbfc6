#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/error_or.h"
#include "platform/file_descriptor.h"
#include "spool/local_header_editor.h"

namespace vellomar {

class RelayServices;

// The one writer of the spool format. A stored message is the dialogue that delivery replays
// to the next relay, once per recipient, so what a file holds is decided here and nowhere
// else, each line made from what it means and never copied from what a client typed:
//
//   HELO <greeting domain>
//   MAIL FROM:<sender>          "<>" for the null sender
//   RCPT TO:<recipient>         one line per recipient; delivery marks its first letter
//   DATA
//   <trace header>              as given, each of its lines ending in CR LF
//   <message data>              as given: line ends mended, ending in CR LF "." CR LF
//   QUIT
//
// every line ending in CR LF. Nothing else is ever stored: no parameter of MAIL or RCPT, no
// login, no TLS command, no second greeting. A greeting, sender or recipient that would not
// stay one line (a control character but the tab), or an address holding a bracket, is
// refused with EINVAL and nothing is written.
//
// Each message is a transaction on a file of its own: created exclusively under a name
// reserved in the relay's queue list (so delivery passes it over), written in the order
// above, rolled back to its greeting line, then either committed (put on stable storage,
// counted, its name released for delivery, the dispatcher woken) or dropped (deleted, its
// name released). A message that reaches neither is dropped when the writer goes. Every
// failure of the file is logged, and the system's text of one that cannot be created shown.
//
// Lock contract: uses the relay's queue list, which locks itself, and holds no lock of its own;
// one thread at a time.
class MessageWriter {
 public:
  // `reservedName`, when given, is a name the caller reserved in the relay's queue list and
  // hands over: the first message takes it. Without one, Create reserves a name.
  explicit MessageWriter(RelayServices& relay, std::string reservedName = "");
  ~MessageWriter() { Drop(); }
  MessageWriter(const MessageWriter&) = delete;
  MessageWriter& operator=(const MessageWriter&) = delete;

  // The name of the current message's file, or of the last one committed.
  const std::string& name() const { return name_; }
  // A message was created and is neither committed nor dropped.
  bool open() const { return created_; }
  // The length of the current message's file (of the last committed one until the next is
  // created), as a summary shows it.
  int32_t length() const;

  // Creates the next message's file, empty, reserving a name first unless one is held.
  [[nodiscard]] Status Create();
  // The domain every message's file begins with from now on; an open message is rolled back
  // to it.
  [[nodiscard]] Status Greeting(std::string_view domain);
  // The reverse path, without its brackets; empty for the null sender.
  [[nodiscard]] Status Sender(std::string_view address);
  [[nodiscard]] Status Recipient(std::string_view address);
  // The DATA line and the trace header, before the message data.
  [[nodiscard]] Status BeginData(std::string_view traceHeader);
  [[nodiscard]] Status Data(std::string_view data);
  // The open message's data goes through a header editor from now on (a local user's
  // message); undone when the message is rolled back, committed or dropped.
  void EditHeader(HeaderEdit edit);
  // The editor of the open message, or null.
  const LocalHeaderEditor* headerEditor() const { return editor_.get(); }
  // The open message's file holds its greeting line alone (nothing before a greeting).
  [[nodiscard]] Status RollBack();
  // Ends the stored dialogue with its QUIT line, syncs and closes the file and syncs the
  // folder, so that file and name survive a crash; then counts the message as received,
  // releases its name and, when that went well, wakes the dispatcher. Only then may the
  // message be acknowledged. On failure the message stays open, to be dropped.
  [[nodiscard]] Status Commit();
  // Deletes the open message's file and releases its name; a name reserved for a file not yet
  // created is released. A file that cannot be deleted keeps its name reserved, so that a
  // half-written message is never taken for delivery, and is logged; the clean-up at the next
  // start removes it.
  void Drop();

 private:
  Status Write(std::string_view data);
  // Logs a write or sync that failed and passes the failure on.
  Status Logged(Status status);

  RelayServices& relay_;
  std::string name_;
  std::string greetingLine_;
  FileDescriptor file_;
  off_t length_ = 0;
  std::unique_ptr<LocalHeaderEditor> editor_;
  std::string edited_;
  // name_ is reserved in the queue list by this writer.
  bool nameHeld_;
  // The file under name_ was created by this writer and is not yet committed.
  bool created_ = false;
};

}  // namespace vellomar
