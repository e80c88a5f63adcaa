// The agent's local file operations on Linux: the partial file, cutting and syncing it, the
// rename that never replaces, and looking up one directory entry.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/linux/file_native.h"
#include "platform/linux/time_convert.h"
#include "platform/operation_seam.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace quarv::platform {
namespace {

constexpr mode_t kPartialFileMode = 0644;

}  // namespace

File File::OpenPartial(const char* path, SystemError* error) {
  // The partial file is never written through a link: an entry under its name that is not a
  // plain file of its own (a symbolic link, a hard link to another name, a FIFO, a socket, a
  // device) is removed, the entry itself and never what it leads to, and the file is created
  // anew. A directory is refused.
  auto opened = std::make_unique<Native>(-1);
  struct stat entry {};
  if (::lstat(path, &entry) == 0 && !S_ISDIR(entry.st_mode) &&
      (!S_ISREG(entry.st_mode) || entry.st_nlink > 1) && ::unlink(path) != 0) {
    if (error != nullptr) *error = native::ErrorFromErrno(errno);
    return File();
  }
  // O_NOFOLLOW: a link planted after the look above fails the open (ELOOP). O_NONBLOCK keeps a
  // FIFO planted meanwhile from blocking the open; it is refused below.
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY,
                        kPartialFileMode);
  if (fd < 0) {
    if (error != nullptr) *error = native::ErrorFromErrno(errno == ELOOP ? EACCES : errno);
    return File();
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) {
    ::close(fd);
    if (error != nullptr) *error = native::ErrorFromErrno(EACCES);
    return File();
  }
  // O_NONBLOCK stays: it has no effect on the reads and writes of a regular file, and clearing
  // it would cost two more calls for every file fetched.
  opened->fd = fd;
  return File(std::move(opened));
}

bool File::TruncateHere() {
  if (!IsOpen()) return false;
  const off_t position = ::lseek(native_->fd, 0, SEEK_CUR);
  if (position < 0) return false;
  return ::ftruncate(native_->fd, position) == 0;
}

bool File::Flush() {
  if (!IsOpen() || !OperationMayProceed(Operation::FileSync)) return false;
  int rc;
  do {
    rc = ::fsync(native_->fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

RenameResult RenameNoReplace(const char* from, const char* to) {
  if (!OperationMayProceed(Operation::Rename, from, to)) return RenameResult::Failed;
#ifdef SYS_renameat2
  if (::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    return RenameResult::Renamed;
  }
  // renameat2 and link look up `from` first: EEXIST means `from` is there and `to` is in the way.
  if (errno == EEXIST) return RenameResult::TargetExists;
  if (errno != ENOSYS && errno != EINVAL && errno != ENOTSUP) return RenameResult::Failed;
#endif
  // The file system cannot rename without replacing: a hard link fails when the target exists.
  if (::link(from, to) == 0) {
    ::unlink(from);
    return RenameResult::Renamed;
  }
  if (errno == EEXIST) return RenameResult::TargetExists;
  // Nor does it take hard links (some foreign file systems): check both names, then rename.
  struct stat st {};
  if (::lstat(from, &st) != 0) return RenameResult::Failed;
  if (::lstat(to, &st) == 0) return RenameResult::TargetExists;
  if (errno != ENOENT) return RenameResult::Failed;
  return std::rename(from, to) == 0 ? RenameResult::Renamed : RenameResult::Failed;
}

void SetNormalAttribute(const char* /*path*/) {}

bool FlushDirectoryEntry(const char* path) {
  if (!OperationMayProceed(Operation::DirectorySync, path)) return false;
  const char* slash = std::strrchr(path, '/');
  std::string directory;
  if (slash == nullptr) {
    directory = ".";
  } else if (slash == path) {
    directory = "/";
  } else {
    directory.assign(path, static_cast<std::size_t>(slash - path));
  }
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  // Some file systems cannot sync a directory; their entries are as durable as they get.
  const bool ok = rc == 0 || errno == EINVAL;
  ::close(fd);
  return ok;
}

bool CanFlushFileSystem() {
  return true;
}

bool FlushFileSystem(const char* directory) {
  if (!OperationMayProceed(Operation::FileSystemSync, directory)) return false;
  const int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int rc;
  do {
    rc = ::syncfs(fd);
  } while (rc != 0 && errno == EINTR);
  ::close(fd);
  return rc == 0;
}

bool FindEntry(const char* path, FileTime* lastWrite, std::uint64_t* size) {
  struct stat st {};
  if (::stat(path, &st) != 0) return false;
  if (lastWrite != nullptr) *lastWrite = native::ToFileTime(st.st_mtim);
  if (size != nullptr) *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

}  // namespace quarv::platform
