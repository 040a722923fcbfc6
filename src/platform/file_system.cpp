#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace vellomar {

ErrorOr<FileDescriptor> OpenFile(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ErrorOr<FileDescriptor>::Fail(errno);
  return FileDescriptor(fd);
}

ErrorOr<size_t> ReadSome(int fd, char* buffer, size_t size) {
  ssize_t got;
  do {
    got = ::read(fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return ErrorOr<size_t>::Fail(errno);
  return static_cast<size_t>(got);
}

Status WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t put = ::write(fd, data, size);
    if (put < 0) {
      if (errno == EINTR) continue;
      return FailWith(errno);
    }
    data += put;
    size -= static_cast<size_t>(put);
  }
  return Ok();
}

ErrorOr<off_t> SeekTo(int fd, off_t offset, int whence) {
  off_t at = ::lseek(fd, offset, whence);
  if (at < 0) return ErrorOr<off_t>::Fail(errno);
  return at;
}

ErrorOr<off_t> FileLength(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return ErrorOr<off_t>::Fail(errno);
  return info.st_size;
}

Status SyncFile(int fd) {
  if (::fsync(fd) != 0) return FailWith(errno);
  return Ok();
}

Status SyncFileData(int fd) {
  if (::fdatasync(fd) != 0) return FailWith(errno);
  return Ok();
}

Status TruncateFile(int fd, off_t length) {
  int result;
  do {
    result = ::ftruncate(fd, length);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return FailWith(errno);
  return Ok();
}

Status SyncFileSystem(int fd) {
  if (::syncfs(fd) != 0) return FailWith(errno);
  return Ok();
}

bool SyncFileSystemReportsErrors() {
  utsname names{};
  if (::uname(&names) != 0) return false;
  int major = 0, minor = 0;
  if (std::sscanf(names.release, "%d.%d", &major, &minor) != 2) return false;
  return major > 5 || (major == 5 && minor >= 8);
}

Status SyncDirectory(const std::string& path) {
  auto folder = OpenFile(path, O_RDONLY | O_DIRECTORY);
  if (!folder) return FailWith(folder.failure());
  return SyncFile(folder.value().get());
}

Status LockExclusiveNoWait(int fd) {
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return FailWith(errno);
  return Ok();
}

Status RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return FailWith(errno);
  return Ok();
}

Status RenameFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return FailWith(errno);
  return Ok();
}

Status SetFileMode(const std::string& path, mode_t mode) {
  if (::chmod(path.c_str(), mode) != 0) return FailWith(errno);
  return Ok();
}

Status MakeDirectory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0) return FailWith(errno);
  return Ok();
}

Status RemoveDirectory(const std::string& path) {
  if (::rmdir(path.c_str()) != 0) return FailWith(errno);
  return Ok();
}

namespace {

int64_t Nanoseconds(const statx_timestamp& time) { return time.tv_sec * 1'000'000'000LL + time.tv_nsec; }

FileIdentity IdentityFrom(const struct statx& found) {
  const statx_timestamp& made = (found.stx_mask & STATX_BTIME) != 0 ? found.stx_btime : found.stx_mtime;
  FileIdentity identity;
  identity.device = uint64_t{found.stx_dev_major} << 32 | found.stx_dev_minor;
  identity.inode = found.stx_ino;
  identity.madeNs = Nanoseconds(made);
  return identity;
}

ErrorOr<FileIdentity> Identity(int dirfd, const char* path, int flags) {
  struct statx found {};
  if (::statx(dirfd, path, flags, STATX_INO | STATX_BTIME | STATX_MTIME, &found) != 0) {
    return ErrorOr<FileIdentity>::Fail(errno);
  }
  return IdentityFrom(found);
}

}  // namespace

ErrorOr<FileIdentity> IdentityOf(int fd) { return Identity(fd, "", AT_EMPTY_PATH); }

ErrorOr<FileIdentity> IdentityAt(const std::string& path) {
  return Identity(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW);
}

ErrorOr<FileStamp> StampAt(const std::string& path) {
  struct statx found {};
  const unsigned mask = STATX_INO | STATX_BTIME | STATX_MTIME | STATX_CTIME | STATX_SIZE;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, mask, &found) != 0) return ErrorOr<FileStamp>::Fail(errno);
  return FileStamp{IdentityFrom(found), found.stx_size, Nanoseconds(found.stx_mtime), Nanoseconds(found.stx_ctime)};
}

EntryKind KindOf(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return EntryKind::Missing;
  if (S_ISREG(info.st_mode)) return EntryKind::Regular;
  if (S_ISDIR(info.st_mode)) return EntryKind::Directory;
  return EntryKind::Other;
}

ErrorOr<std::vector<std::string>> ListDirectory(const std::string& path) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
  if (!dir) return ErrorOr<std::vector<std::string>>::Fail(errno);
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
    errno = 0;
  }
  if (errno != 0) return ErrorOr<std::vector<std::string>>::Fail(errno);
  return names;
}

ErrorOr<std::string> ReadSymbolicLink(const std::string& path) {
  char target[PATH_MAX];
  ssize_t length = ::readlink(path.c_str(), target, sizeof target);
  if (length < 0) return ErrorOr<std::string>::Fail(errno);
  if (static_cast<size_t>(length) == sizeof target) return ErrorOr<std::string>::Fail(ENAMETOOLONG);
  return std::string(target, static_cast<size_t>(length));
}

Status CheckWritable(const std::string& path) {
  if (::access(path.c_str(), W_OK) != 0) return FailWith(errno);
  return Ok();
}

}  // namespace vellomar

namespace vellomar {

ErrorOr<std::string> ReadToEnd(int fd, size_t maxSize) {
  auto length = FileLength(fd);
  if (length && static_cast<uint64_t>(length.value()) > maxSize) return ErrorOr<std::string>::Fail(EFBIG);
  std::string content;
  char buffer[4096];
  for (;;) {
    auto got = ReadSome(fd, buffer, sizeof buffer);
    if (!got) return ErrorOr<std::string>::Fail(got.failure());
    if (got.value() == 0) return content;
    // A file that grows while it is read is held to the same bound.
    if (content.size() + got.value() > maxSize) return ErrorOr<std::string>::Fail(EFBIG);
    content.append(buffer, got.value());
  }
}

ErrorOr<std::string> ReadWholeFile(const std::string& path, size_t maxSize) {
  auto fd = OpenFile(path, O_RDONLY);
  if (!fd) return ErrorOr<std::string>::Fail(fd.failure());
  return ReadToEnd(fd.value().get(), maxSize);
}

ErrorOr<std::string> ReadPlainFile(const std::string& path, size_t maxSize) {
  auto fd = OpenFile(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (!fd) return ErrorOr<std::string>::Fail(fd.failure());
  auto facts = FactsOf(fd.value().get());
  if (!facts) return ErrorOr<std::string>::Fail(facts.failure());
  if (!facts.value().regular) return ErrorOr<std::string>::Fail(EINVAL);
  if (facts.value().links != 1) return ErrorOr<std::string>::Fail(EMLINK);
  return ReadToEnd(fd.value().get(), maxSize);
}

namespace {

// Someone removing the leftover between our removal and our creation is retried a few times;
// someone who keeps doing it is refused.
constexpr int kCreateAttempts = 4;

ErrorOr<FileDescriptor> CreateAfresh(int folder, const std::string& name) {
  for (int attempt = 1;; ++attempt) {
    Status cleared = RemoveAt(folder, name);
    if (!cleared && cleared.error() != ENOENT) return ErrorOr<FileDescriptor>::Fail(cleared.failure());
    auto made = OpenAt(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY, 0600);
    if (made || made.error() != EEXIST || attempt == kCreateAttempts) return made;
  }
}

// Root writing into another user's folder hands the file to that user; anyone else, or root in
// a folder of root's, keeps it.
Status GiveToFolderOwner(int folder, int file) {
  if (::geteuid() != 0) return Ok();
  auto owner = FactsOf(folder);
  if (!owner) return FailWith(owner.failure());
  if (owner.value().owner == 0) return Ok();
  return ChangeDescriptorOwner(file, FileOwner{owner.value().owner, owner.value().group});
}

Status WriteNewFile(int folder, int file, const std::string& content, const NewFileRules& rules) {
  Status status = rules.folderOwnerKeeps ? GiveToFolderOwner(folder, file) : Ok();
  if (status) status = SetDescriptorMode(file, rules.mode);
  if (status) status = WriteAll(file, content.data(), content.size());
  if (status) status = SyncFile(file);
  return status;
}

}  // namespace

Status ReplaceFileContents(const std::string& path, const std::string& content, const NewFileRules& rules) {
  size_t slash = path.rfind('/');
  const std::string folderPath = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string temporary = name + ".tmp";
  auto folder = OpenFile(folderPath, O_RDONLY | O_DIRECTORY);
  if (!folder) return FailWith(folder.failure());
  const int at = folder.value().get();
  auto fd = CreateAfresh(at, temporary);
  if (!fd) return FailWith(fd.failure());
  Status written = WriteNewFile(at, fd.value().get(), content, rules);
  Status closed = fd.value().Close();
  if (written && !closed) written = closed;
  if (written) written = RenameAt(at, temporary, name);
  if (!written) {
    (void)RemoveAt(at, temporary);  // the write's own failure is what is reported
    return written;
  }
  // The new name is in place; a folder that cannot be synced loses only its durability.
  (void)SyncFile(at);
  return Ok();
}

Status MakeDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && KindOf(prefix) == EntryKind::Missing) {
      Status made = MakeDirectory(prefix);
      if (!made && made.error() != EEXIST) return made;
    }
    if (slash == std::string::npos) return Ok();
  }
}

}  // namespace vellomar

#include <stdio.h>

namespace vellomar {

Status RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return Ok();
  if (errno != EINVAL && errno != ENOSYS) return FailWith(errno);
  // A file system without the flag: a hard link fails on an existing name just the same.
  if (::link(from.c_str(), to.c_str()) != 0) return FailWith(errno);
  return RemoveFile(from);
}

ErrorOr<FileDescriptor> OpenAt(int folder, const std::string& name, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::openat(folder, name.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ErrorOr<FileDescriptor>::Fail(errno);
  return FileDescriptor(fd);
}

Status RemoveAt(int folder, const std::string& name) {
  if (::unlinkat(folder, name.c_str(), 0) != 0) return FailWith(errno);
  return Ok();
}

Status RenameAt(int folder, const std::string& from, const std::string& to) {
  if (::renameat(folder, from.c_str(), folder, to.c_str()) != 0) return FailWith(errno);
  return Ok();
}

Status ChangeDescriptorOwner(int fd, const FileOwner& owner) {
  if (::fchown(fd, owner.user, owner.group) != 0) return FailWith(errno);
  return Ok();
}

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

Status SetTerminalEcho(int fd, bool on) {
  termios settings{};
  if (::tcgetattr(fd, &settings) != 0) return FailWith(errno);
  if (on) {
    settings.c_lflag |= ECHO;
  } else {
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  }
  return ::tcsetattr(fd, TCSAFLUSH, &settings) == 0 ? Ok() : FailWith(errno);
}

}  // namespace vellomar

namespace vellomar {

namespace {

FileFacts FactsFrom(const struct stat& info) {
  FileFacts facts;
  facts.owner = info.st_uid;
  facts.group = info.st_gid;
  facts.links = info.st_nlink;
  facts.mode = info.st_mode & 07777;
  facts.size = info.st_size;
  facts.inode = info.st_ino;
  facts.modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  facts.regular = S_ISREG(info.st_mode);
  return facts;
}

}  // namespace

ErrorOr<FileFacts> FactsOf(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return ErrorOr<FileFacts>::Fail(errno);
  return FactsFrom(info);
}

ErrorOr<FileFacts> FactsAt(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return ErrorOr<FileFacts>::Fail(errno);
  return FactsFrom(info);
}

Status SetDescriptorMode(int fd, mode_t mode) {
  if (::fchmod(fd, mode) != 0) return FailWith(errno);
  return Ok();
}

Status WriteAllAt(int fd, const char* data, size_t size, off_t offset) {
  while (size > 0) {
    ssize_t put = ::pwrite(fd, data, size, offset);
    if (put < 0) {
      if (errno == EINTR) continue;
      return FailWith(errno);
    }
    data += put;
    size -= static_cast<size_t>(put);
    offset += put;
  }
  return Ok();
}

ErrorOr<FileSystemSpace> SpaceOf(const std::string& path) {
  struct statvfs info;
  if (::statvfs(path.c_str(), &info) != 0) return ErrorOr<FileSystemSpace>::Fail(errno);
  return FileSystemSpace{static_cast<uint64_t>(info.f_bavail) * info.f_frsize, (info.f_flag & ST_RDONLY) != 0};
}

ErrorOr<FileOwner> OwnerOfDescriptor(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return ErrorOr<FileOwner>::Fail(errno);
  return FileOwner{info.st_uid, info.st_gid};
}

Status ChangeDirectory(int fd) {
  if (::fchdir(fd) != 0) return FailWith(errno);
  return Ok();
}

}  // namespace vellomar
