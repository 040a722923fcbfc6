#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "common/relay_timings.h"
#include "platform/connection.h"
#include "platform/file_descriptor.h"
#include "spool/mail_summary.h"

namespace vellomar {

class WindowServices;

enum SessionState { Greeted = 1, HeloDone = 2, MailDone = 3, RcptDone = 4, DataDone = 5 };

// One accepted SMTP connection, handed by the listener to the session thread that owns it
// from then on.
struct ServerSession {
  MailSummary summary;
  std::string spoolName;
  FileDescriptor socket;
  std::string heloDomain;
  // The client's address as the trace header names it: "192.0.2.1", or "IPv6:2001:db8::1".
  std::string clientAddress;
  // Copied from the window services' timings when the listener accepts.
  SessionLimits limits;
};

// Notified whenever a session ends, so that a listener waiting at its limit looks again.
class WakeEvent;
WakeEvent& SessionEnded();

// What a session thread works with while it runs: the session, its connection and the spool
// file of the message being received, and where the dialogue stands. Only the session's own
// thread touches it.
struct SessionRun {
  SessionRun(ServerSession taken, WindowServices& mainWindow, FileDescriptor socket)
      : session(std::move(taken)), window(mainWindow), connection(std::move(socket)) {}

  ServerSession session;
  WindowServices& window;
  Connection connection;
  // Open from the moment a message's file is created until it is committed or dropped.
  FileDescriptor spool;
  SessionState state = Greeted;
  // Bytes received beyond the line being handled: a pipelining client's next commands, or
  // the start of the message data after DATA.
  std::string pending;
  // The HELO line every spool file of this connection begins with.
  std::string heloLine;
  // Messages this connection has handed over; a failure later never touches them.
  uint32_t committed = 0;
  // The spool file exists and is this session's until it is committed.
  bool fileOurs = false;
  // The name in session.spoolName is reserved in QueueList by this session.
  bool nameHeld = true;
  // A MAIL was accepted for the message in `spool`.
  bool transactionOpen = false;
  // Commands refused so far; at kMaxErrors the session ends.
  int errors = 0;
  // The client closed the connection, or did not take a reply: nothing more can reach it.
  bool peerGone = false;
  // The 421 that any end but QUIT sends first, as the reason for the end has it.
  std::string_view farewell = "421 4.3.0 Closing connection\r\n";
};

// After this many refused commands the client is told "421 4.7.0 Too many errors".
constexpr int kMaxErrors = 10;

// The 421 that announces an end the store caused.
constexpr std::string_view kCannotStore = "421 4.3.0 Cannot store mail now\r\n";

enum class CommandOutcome { Continue, Failed, Quit };
enum class LineRead { Line, TooLong, Ended };

// The session thread: the greeting, the command loop and the ending. Holds no lock while it
// waits on, reads from or writes to the network or the spool file.
int SessionThread(ServerSession session, WindowServices& window);

// One command line, up to and including its line feed; what follows it stays pending.
// TooLong for a line over 1,000 bytes, read to its end and dropped; Ended as AwaitBytes ends,
// or when the line was not complete within commandTime.
LineRead ReadCommand(SessionRun& run, std::string& line);
// Waits for the client's next bytes and appends them to `into`. Silence is allowed for
// `idleWait` while fewer than three quarters of Input are in use and for the busy wait
// otherwise, the load looked at again every second, and never past `deadline`. False when
// the session must end instead: silence, a stop (each with its farewell set), or a client
// that left.
bool AwaitBytes(SessionRun& run, std::string& into, std::chrono::milliseconds idleWait,
                   std::chrono::steady_clock::time_point deadline);
// Sends a reply in one send call; true only when all of it went out.
bool SendReply(SessionRun& run, std::string_view reply);
// A reply to a command: Continue when it went out.
CommandOutcome Answer(SessionRun& run, std::string_view reply);
// A refusal, counted toward kMaxErrors; the session goes on when it went out.
CommandOutcome Refuse(SessionRun& run, std::string_view reply);
// Appends to the spool file; fails when the data did not all land.
[[nodiscard]] Status AppendToSpool(SessionRun& run, std::string_view data);
// The spool file's current length, as the summary shows it.
int32_t SpoolLength(SessionRun& run);
// Publishes the session's summary to its IncomingRegistry entry.
void PublishSummary(SessionRun& run);

// The command handlers, each given the text after its verb (blanks around it dropped).
// They answer, set the state that follows and say whether the session goes on.
CommandOutcome HandleHelo(SessionRun& run, std::string_view argument);
CommandOutcome HandleEhlo(SessionRun& run, std::string_view argument);
CommandOutcome HandleMail(SessionRun& run, std::string_view argument);
CommandOutcome HandleRcpt(SessionRun& run, std::string_view argument);
CommandOutcome HandleRset(SessionRun& run, std::string_view argument);
CommandOutcome HandleQuit(SessionRun& run, std::string_view argument);
CommandOutcome ReceiveData(SessionRun& run, std::string_view argument);

}  // namespace vellomar
