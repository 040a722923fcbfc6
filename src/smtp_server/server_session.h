#pragma once

#include <chrono>
#include <string>

#include "platform/connection.h"
#include "platform/file_descriptor.h"
#include "spool/mail_summary.h"

namespace vellomar {

class MainWindow;

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
  std::chrono::milliseconds readWait{10000};
};

// Notified whenever a session ends, so that a listener waiting at its limit looks again.
class WakeEvent;
WakeEvent& SessionEnded();

// The wait every new session gets for each piece of data; tests shorten it.
std::chrono::milliseconds DefaultReadWait();
void SetDefaultReadWait(std::chrono::milliseconds wait);

// What a session thread works with while it runs: the session, its connection and spool
// file, and where the dialogue stands. Only the session's own thread touches it.
struct SessionRun {
  ServerSession session;
  MainWindow& window;
  Connection connection;
  FileDescriptor spool;
  SessionState state = Greeted;
};

// The session thread: the greeting, the command loop and one of the three endings. Holds no
// lock while it waits on, reads from or writes to the network or the spool file.
int SessionThread(ServerSession session, MainWindow& window);

// One command line: reads until the text holds a line feed. Fails on silence for readWait,
// a closed connection, a stop request, a line over 1,000 bytes, or fewer than 4 characters.
bool ReadCommand(SessionRun& run, std::string& line);
// Sends a reply in one send call; true only when all of it went out.
bool SendReply(SessionRun& run, std::string_view reply);
// Appends to the spool file; false when the data did not all land.
bool AppendToSpool(SessionRun& run, std::string_view data);
// The spool file's current length, as the summary shows it.
int32_t SpoolLength(SessionRun& run);
// Publishes the session's summary to its IncomingRegistry entry.
void PublishSummary(SessionRun& run);

// The command handlers: true when the command succeeded and the session goes on.
bool HandleHelo(SessionRun& run, const std::string& line);
bool HandleMail(SessionRun& run, const std::string& line);
bool HandleRcpt(SessionRun& run, const std::string& line);
bool HandleQuit(SessionRun& run, const std::string& line);
bool ReceiveData(SessionRun& run, const std::string& line);

}  // namespace vellomar
