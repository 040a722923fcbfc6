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
  // The file's size as known from opening it and from this writer's own writes and seeks:
  // the relay alone writes its log (the folder's program lock sees to it), so this saves a
  // stat for every line.
  uint64_t Length() const { return length_; }
  void Close();

 private:
  // After a write or seek whose outcome is not known exactly, the size from the file itself.
  void MeasureLength();

  FileDescriptor fd_;
  uint64_t offset_ = 0;
  uint64_t length_ = 0;
};

// "Sunday 06 December (2026) - 07:42:24 : ", with English names whatever the locale.
std::string LogTimeStamp(const std::tm& local);

// The size past which the log is set aside as logfile.1 and begun anew: Logsize kBytes, computed in 32 bits unsigned, so a
// negative Logsize wraps to a limit that is never reached in practice.
inline uint32_t LogLimit(int32_t logsize) { return static_cast<uint32_t>(logsize) * 1024u; }

}  // namespace vellomar
