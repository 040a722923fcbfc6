#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/error_or.h"
#include "platform/file_descriptor.h"

namespace vellomar {

// One thin wrapper per POSIX file call: the value or the errno, no policy. EINTR is retried
// where a retry is the only sensible answer.
ErrorOr<FileDescriptor> OpenFile(const std::string& path, int flags, mode_t mode = 0644);
ErrorOr<size_t> ReadSome(int fd, char* buffer, size_t size);
Status WriteAll(int fd, const char* data, size_t size);
[[nodiscard]] ErrorOr<off_t> SeekTo(int fd, off_t offset, int whence = SEEK_SET);
ErrorOr<off_t> FileLength(int fd);
Status SyncFile(int fd);
// fdatasync: the data and what is needed to read it back, not the times.
Status SyncFileData(int fd);
Status TruncateFile(int fd, off_t length);
// Puts a folder's entries (a file created or renamed in it) on stable storage.
Status SyncDirectory(const std::string& path);
// syncfs: everything of the file system that holds fd, its folders' entries included.
[[nodiscard]] Status SyncFileSystem(int fd);
// Whether syncfs reports the write errors it meets: from Linux 5.8 on (uname's release).
bool SyncFileSystemReportsErrors();
// An exclusive flock taken without waiting: EWOULDBLOCK while another open file holds one.
// The kernel releases it when the last descriptor of that open file closes.
Status LockExclusiveNoWait(int fd);
Status RemoveFile(const std::string& path);
Status RenameFile(const std::string& from, const std::string& to);
// chmod: the file's permission bits.
Status SetFileMode(const std::string& path, mode_t mode);
Status MakeDirectory(const std::string& path, mode_t mode = 0755);
// rmdir: ENOTEMPTY when it holds anything.
Status RemoveDirectory(const std::string& path);

enum class EntryKind { Missing, Regular, Directory, Other };
EntryKind KindOf(const std::string& path);
inline bool EntryExists(const std::string& path) { return KindOf(path) != EntryKind::Missing; }

// What tells a file from a later one that took its name: its device and inode, and when it
// was made, in nanoseconds (its modification time where the file system keeps no birth
// time). A rewrite of the same file keeps its birth time.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t madeNs = 0;
  bool operator==(const FileIdentity&) const = default;
};
ErrorOr<FileIdentity> IdentityOf(int fd);
ErrorOr<FileIdentity> IdentityAt(const std::string& path);

// What tells one content of a file from the next without reading it: its identity with its
// size and its change and modification times, in nanoseconds. A rename over the name, an edit
// in place and a touch all change it. The link itself is looked at, never followed.
struct FileStamp {
  FileIdentity identity;
  uint64_t size = 0;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
  bool operator==(const FileStamp&) const = default;
};
ErrorOr<FileStamp> StampAt(const std::string& path);

// Who owns a file: stat(2)'s user and group. Changed only on a descriptor (ChangeDescriptorOwner):
// a chown by name in a folder another user owns would follow whatever link they put there.
struct FileOwner {
  uid_t user = 0;
  gid_t group = 0;
};

// The names in a directory in the order the system lists them, "." and ".." left out.
ErrorOr<std::vector<std::string>> ListDirectory(const std::string& path);
ErrorOr<std::string> ReadSymbolicLink(const std::string& path);
// Whether the descriptor is a terminal; any failure of the call means it is not one.
bool IsTerminal(int fd);
// Turns the terminal's echo of typed characters off or on (tcsetattr), as a password prompt does.
Status SetTerminalEcho(int fd, bool on);
// Whether this process may create entries in the folder (access with W_OK).
Status CheckWritable(const std::string& path);

}  // namespace vellomar

namespace vellomar {

// The whole content of a file; EFBIG, without reading it, when it is longer than `maxSize`.
ErrorOr<std::string> ReadWholeFile(const std::string& path, size_t maxSize = SIZE_MAX);
// The same of an open file, from where it stands.
ErrorOr<std::string> ReadToEnd(int fd, size_t maxSize = SIZE_MAX);
// The same of a file that another user may have put in place (in a folder of theirs): read
// only when it is a plain file of its own, reached without following a link at its end and
// without waiting on a pipe. ELOOP for a link, EINVAL for anything but a regular file, EMLINK
// for a file with a second name (which could be anyone's).
ErrorOr<std::string> ReadPlainFile(const std::string& path, size_t maxSize);

// How ReplaceFileContents makes the new file.
struct NewFileRules {
  // Its permission bits, exactly, whatever the umask.
  mode_t mode = 0600;
  // Written by root in a folder another user owns, it becomes that user's, so that a service
  // running as the folder's owner can read what root wrote for it.
  bool folderOwnerKeeps = false;
};
// Replaces a file's content so that a reader sees the old or the new file, never a part:
// written to "<path>.tmp", flushed to disk, closed with its result checked, renamed over the
// path, the folder synced. Everything is done through a descriptor of the folder, never by
// name, so that whoever else may write the folder cannot turn the write elsewhere: a leftover
// "<path>.tmp" is removed (a link is never followed), the temporary is created afresh
// (O_EXCL | O_NOFOLLOW) and its owner and mode are set on its own descriptor.
Status ReplaceFileContents(const std::string& path, const std::string& content, const NewFileRules& rules = {});
// Creates the folder and every missing parent.
Status MakeDirectories(const std::string& path);

}  // namespace vellomar

namespace vellomar {

// Renames without ever replacing: EEXIST when `to` is taken.
Status RenameNoReplace(const std::string& from, const std::string& to);

// The *at(2) calls, for work inside a folder held open: a name is looked up in that folder
// alone, so that nobody can swap a folder on the way.
ErrorOr<FileDescriptor> OpenAt(int folder, const std::string& name, int flags, mode_t mode = 0600);
// unlinkat: the entry itself, a link never followed.
Status RemoveAt(int folder, const std::string& name);
// renameat within one folder.
Status RenameAt(int folder, const std::string& from, const std::string& to);
// fchown: the open file itself, whatever names it now.
Status ChangeDescriptorOwner(int fd, const FileOwner& owner);

}  // namespace vellomar

namespace vellomar {

// What fstat says of an open file that a caller must judge before trusting it.
struct FileFacts {
  uid_t owner = 0;
  gid_t group = 0;
  uint64_t links = 0;
  mode_t mode = 0;
  off_t size = 0;
  uint64_t inode = 0;
  // Nanoseconds since the epoch.
  int64_t modifiedNs = 0;
  bool regular = false;
};
ErrorOr<FileFacts> FactsOf(int fd);
// The same, of a path, without following a symbolic link at its end.
ErrorOr<FileFacts> FactsAt(const std::string& path);
// fchmod: exact permission bits, whatever the umask made of them at creation.
Status SetDescriptorMode(int fd, mode_t mode);
// pwrite: all of it at `offset`, the file position left alone.
Status WriteAllAt(int fd, const char* data, size_t size, off_t offset);

}  // namespace vellomar

namespace vellomar {

// What statvfs(2) says of the file system that holds a path: the bytes an unprivileged
// writer may still use, and whether it is mounted read-only.
struct FileSystemSpace {
  uint64_t availableBytes = 0;
  bool readOnly = false;
};
ErrorOr<FileSystemSpace> SpaceOf(const std::string& path);
// fstat(2)'s user and group of an open file.
ErrorOr<FileOwner> OwnerOfDescriptor(int fd);
// fchdir(2).
Status ChangeDirectory(int fd);

}  // namespace vellomar
