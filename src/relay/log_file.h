#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/file_descriptor.h"

namespace vellomar {

// The log file's own mechanics; Relay::AppendLog decides when each is used and holds
// LogLock around every call.
class LogFile {
 public:
  // Creates the file when missing, else keeps its content.
  bool Open(const std::string& path);
  // Empties the file. On failure the log stays closed.
  bool Reopen(const std::string& path);
  bool IsOpen() const { return fd_.valid(); }
  void MoveToEnd();
  // A failed write is ignored: logging goes on with the next line.
  void Write(const std::string& line);
  uint64_t Length() const;
  void Close();

 private:
  FileDescriptor fd_;
};

// "Sunday 06 December (2026) - 07:42:24 : ", with English names whatever the locale.
std::string LogTimeStamp(const std::tm& local);

// The size past which the log is set aside as logfile.1 and begun anew: Logsize kBytes, computed in 32 bits unsigned, so a
// negative Logsize wraps to a limit that is never reached in practice.
inline uint32_t LogLimit(int32_t logsize) { return static_cast<uint32_t>(logsize) * 1024u; }

}  // namespace vellomar
