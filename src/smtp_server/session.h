#pragma once

// The inside of a reception session, shared by the files of this folder that carry it out
// (server_session.cpp, session_commands.cpp, command_handlers.cpp, receive_data.cpp) and by
// nothing else: the layers check refuses an include of it from any other folder. The listener
// reaches a session through StartSession (server_session.h) alone.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/relay_timings.h"
#include "platform/connection.h"
#include "platform/error_or.h"
#include "platform/file_descriptor.h"
#include "smtp_server/relay_policy.h"
#include "smtp_server/server_session.h"
#include "spool/mail_summary.h"
#include "spool/message_writer.h"

namespace vellomar {

class RelayServices;

enum SessionState { Greeted = 1, HeloDone = 2, MailDone = 3, RcptDone = 4, DataDone = 5 };
enum class CommandOutcome { Continue, Failed, Quit };
enum class LineRead { Line, TooLong, Ended };

// One accepted connection as its thread serves it: the client, what its policy says, where
// the dialogue stands, and the message being stored. Made on the session's own thread, so
// that its connection is watched by that thread's cancel hook; only that thread touches it,
// holding no lock while it waits on, reads from or writes to the network or the spool file.
// Its spool name is its key in the incoming registry, and a session's end notifies the
// relay's `sessionEnded`, so that a listener waiting at its limit looks again.
struct Session {
  Session(RelayServices& mainRelay, FileDescriptor socket, std::string client, SessionLimits sessionLimits,
          RelayPolicy clientPolicy, std::string spoolName, SessionPort sessionPort, int64_t sizeLimit)
      : relay(mainRelay),
        connection(std::move(socket)),
        clientAddress(std::move(client)),
        limits(sessionLimits),
        port(std::move(sessionPort)),
        maxSize(sizeLimit),
        policy(std::move(clientPolicy)),
        message(mainRelay, std::move(spoolName)) {}

  RelayServices& relay;
  Connection connection;
  // As the trace header names it: "192.0.2.1", or "IPv6:2001:db8::1".
  const std::string clientAddress;
  // The relay's timings when the listener accepted.
  const SessionLimits limits;
  // The port's TLS: from the first byte, or offered with STARTTLS.
  const SessionPort port;
  // The largest message taken, in bytes; 0: no limit.
  const int64_t maxSize;
  // The current message's own limit, when its account's way out takes less than `maxSize`
  // (Microsoft Graph), and the reply that refuses a larger one; 0: `maxSize`.
  int64_t accountLimit = 0;
  // Of the message being received: `accountLimit` when set and lower, else `maxSize`.
  int64_t MessageLimit() const {
    return accountLimit > 0 && (maxSize <= 0 || accountLimit < maxSize) ? accountLimit : maxSize;
  }
  // The refusal of a message over MessageLimit().
  std::string SizeRefusal() const;
  RelayPolicy policy;
  // The message being received, or the last one committed; its name is the session's.
  MessageWriter message;
  // What the window shows for this connection.
  MailSummary summary;
  // Of the latest HELO or EHLO.
  std::string heloDomain;
  SessionState state = Greeted;
  // Bytes received beyond the line being handled: a pipelining client's next commands, or
  // the start of the message data after DATA.
  std::string pending;
  // Messages this connection has handed over; a failure later never touches them.
  uint32_t committed = 0;
  // A MAIL was accepted for the open message.
  bool transactionOpen = false;
  // Commands refused so far; at kMaxErrors the session ends.
  int errors = 0;
  // Logins that failed on this connection; at kMaxLoginFailures the session ends.
  int loginFailures = 0;
  // The client closed the connection, or did not take a reply: nothing more can reach it.
  bool peerGone = false;
  // The 421 that any end but QUIT sends first, as the reason for the end has it.
  std::string_view farewell = "421 4.3.0 Closing connection\r\n";
};

// After this many refused commands the client is told "421 4.7.0 Too many errors".
constexpr int kMaxErrors = 10;

// After this many failed logins the connection closes.
constexpr int kMaxLoginFailures = 3;

// A message over the size limit, declared at MAIL or sent.
constexpr std::string_view kSizeExceeded = "552 5.3.4 Message size exceeds fixed limit\r\n";

// The 421 that announces an end the store caused.
constexpr std::string_view kCannotStore = "421 4.3.0 Cannot store mail now\r\n";

// One command line, up to and including its line feed; what follows it stays pending.
// TooLong for a line over 1,000 bytes, read to its end and dropped; Ended as AwaitBytes ends,
// or when the line was not complete within commandTime.
LineRead ReadCommand(Session& session, std::string& line);
// Waits for the client's next bytes and appends them to `into`. Silence is allowed for
// `idleWait` while fewer than three quarters of Input are in use and for the busy wait
// otherwise, the load looked at again every second, and never past `deadline`. False when
// the session must end instead: silence, a stop (each with its farewell set), or a client
// that left.
bool AwaitBytes(Session& session, std::string& into, std::chrono::milliseconds idleWait,
                std::chrono::steady_clock::time_point deadline);
// Sends a reply (in one send call in the clear); true only when all of it went out.
bool SendReply(Session& session, std::string_view reply);
// A reply to a command: Continue when it went out.
CommandOutcome Answer(Session& session, std::string_view reply);
// A refusal, counted toward kMaxErrors; the session goes on when it went out.
CommandOutcome Refuse(Session& session, std::string_view reply);
// True when the message writer's step went well. Otherwise (the writer has logged it) the
// client is told "452 4.3.1 Insufficient system storage" and kCannotStore becomes the farewell.
bool Stored(Session& session, const Status& status);
// Publishes the session's summary to its incoming registry entry.
void PublishSummary(Session& session);

// Acts on one command line as the command table says; Failed when the session must end.
CommandOutcome DispatchCommand(Session& session, const std::string& line);

// The command handlers, each given the text after its verb (blanks around it dropped) once
// the table's check let the command through. They answer, set the state that follows and say
// whether the session goes on.
CommandOutcome HandleHelo(Session& session, std::string_view argument);
CommandOutcome HandleEhlo(Session& session, std::string_view argument);
CommandOutcome HandleMail(Session& session, std::string_view argument);
CommandOutcome HandleRcpt(Session& session, std::string_view argument);
CommandOutcome HandleRset(Session& session, std::string_view argument);
CommandOutcome HandleQuit(Session& session, std::string_view argument);
CommandOutcome ReceiveData(Session& session, std::string_view argument);
CommandOutcome HandleStartTls(Session& session, std::string_view argument);
CommandOutcome HandleAuth(Session& session, std::string_view argument);

}  // namespace vellomar
