// Files on POSIX: the opens, reads and deletes of the file commands, with the results the
// Windows calls give (error codes, read-only attribute, the sharing rule of an open for sending).
#include "platform/file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "platform/posix/time_convert.h"

namespace quarv::platform {
namespace {

using FileKey = std::pair<std::uint64_t, std::uint64_t>;  // (st_dev, st_ino)

// Files from this size on are announced to the system as read from start to end.
constexpr std::uint64_t kSequentialHintSize = 1024 * 1024;

// The files this process is sending. An open for sending on Windows denies writers and a second
// open for writing; here a second sender and a delete consult this table instead.
struct SendingTable {
  std::mutex mutex;
  std::set<FileKey> files;
};

SendingTable& Sending() {
  static SendingTable table;
  return table;
}

FileKey KeyOf(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

int Fd(std::intptr_t handle) {
  return static_cast<int>(handle);
}

// strerror_r comes in two flavours; both give a text here.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* ErrorText(const char* result, const char* /*buffer*/) {
  return result;
}

std::string ErrnoText(int error) {
  char buffer[128] = {};
  return ErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
}

SystemError MakeError(std::uint32_t code, const char* text) {
  return SystemError{code, text};
}

// True when the directory part of `path` exists as a directory: then a missing file is "file
// not found", otherwise "path not found".
bool ParentIsDirectory(const char* path) {
  std::string parent(path);
  const auto slash = parent.find_last_of('/');
  if (slash == std::string::npos) {
    parent = ".";
  } else if (slash == 0) {
    parent = "/";
  } else {
    parent.resize(slash);
  }
  struct stat info {};
  return ::stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

SystemError ErrorFromErrno(int error, const char* path) {
  switch (error) {
    case ENOENT:
      return ParentIsDirectory(path) ? MakeError(kErrorFileNotFound, "File not found")
                                     : MakeError(kErrorPathNotFound, "Path not found");
    case ENOTDIR:
      return MakeError(kErrorPathNotFound, "Path not found");
    case EACCES:
    case EPERM:
    case EISDIR:
      return MakeError(kErrorAccessDenied, "Access denied");
    default:
      return SystemError{static_cast<std::uint32_t>(error), ErrnoText(error)};
  }
}

// True when another process (or another descriptor of this one) has the file open for writing.
// A read lease is refused with EAGAIN exactly then; it is released at once. Where leases are not
// allowed (not the owner and no CAP_LEASE, or a file system without them) nothing can be told.
bool OpenForWritingElsewhere(int fd) {
  // A lease break would be signalled with SIGIO, whose default action ends the process; SIGURG
  // is ignored by default, so a writer that opens the file in the short window does no harm.
  ::fcntl(fd, F_SETSIG, SIGURG);
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
  }
  return errno == EAGAIN;
}

}  // namespace

File::~File() {
  Close();
}

File::File(File&& other) noexcept
    : handle_(other.handle_),
      sendingKey_{other.sendingKey_[0], other.sendingKey_[1]},
      sending_(other.sending_) {
  other.handle_ = -1;
  other.sending_ = false;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    sendingKey_[0] = other.sendingKey_[0];
    sendingKey_[1] = other.sendingKey_[1];
    sending_ = other.sending_;
    other.handle_ = -1;
    other.sending_ = false;
  }
  return *this;
}

File File::OpenForSending(const char* path, SystemError* error) {
  // O_NONBLOCK: opening a FIFO must never wait for a writer (a FIFO is refused below).
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = ErrorFromErrno(errno, path);
    return File();
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    *error = ErrorFromErrno(errno, path);
    ::close(fd);
    return File();
  }
  // Only regular files are served; a file without the owner's write bit is read-only, and an
  // open that asks for write access fails on it (also for root).
  if (!S_ISREG(info.st_mode) || (info.st_mode & S_IWUSR) == 0) {
    *error = MakeError(kErrorAccessDenied, "Access denied");
    ::close(fd);
    return File();
  }
  // O_NONBLOCK stays: it has no effect on the reads of a regular file, and clearing it would
  // cost two more calls for every file sent.
  if (static_cast<std::uint64_t>(info.st_size) >= kSequentialHintSize) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // larger read-ahead from the disk
  }

  const FileKey key = KeyOf(info);
  SendingTable& table = Sending();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (table.files.count(key) != 0 || OpenForWritingElsewhere(fd)) {
    *error = MakeError(kErrorSharingViolation, "Sharing violation");
    ::close(fd);
    return File();
  }
  table.files.insert(key);
  File file(fd);
  file.sendingKey_[0] = key.first;
  file.sendingKey_[1] = key.second;
  file.sending_ = true;
  return file;
}

bool File::IsOpen() const {
  return handle_ >= 0;
}

bool File::Size(std::uint64_t* size) const {
  struct stat info {};
  if (handle_ < 0 || ::fstat(Fd(handle_), &info) != 0) return false;
  *size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool File::LastWriteTime(FileTime* time) const {
  struct stat info {};
  if (handle_ < 0 || ::fstat(Fd(handle_), &info) != 0) return false;
  *time = posix::ToFileTime(info.st_mtim);
  return true;
}

bool File::Seek(std::uint64_t offset) {
  if (handle_ < 0 || offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  return ::lseek(Fd(handle_), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool File::Read(void* buffer, std::uint32_t length, std::uint32_t* got) {
  *got = 0;
  if (handle_ < 0) return false;
  ssize_t result;
  do {
    result = ::read(Fd(handle_), buffer, length);
  } while (result < 0 && errno == EINTR);
  if (result < 0) return false;
  *got = static_cast<std::uint32_t>(result);
  return true;
}

bool File::Write(const void* data, std::uint32_t length, std::uint32_t* written) {
  *written = 0;
  if (handle_ < 0) return false;
  const auto* bytes = static_cast<const char*>(data);
  while (*written < length) {
    const ssize_t result = ::write(Fd(handle_), bytes + *written, length - *written);
    if (result < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (result == 0) return false;
    *written += static_cast<std::uint32_t>(result);
  }
  return true;
}

bool File::SetTimes(FileTime time) {
  if (handle_ < 0) return false;
  const struct timespec stamp = posix::FromFileTime(time);
  const struct timespec times[2] = {stamp, stamp};
  return ::futimens(Fd(handle_), times) == 0;
}

void File::Close() {
  if (sending_) {
    SendingTable& table = Sending();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.files.erase(FileKey{sendingKey_[0], sendingKey_[1]});
    sending_ = false;
  }
  if (handle_ >= 0) {
    ::close(Fd(handle_));
    handle_ = -1;
  }
}

bool RemoveFile(const char* path) {
  struct stat info {};
  if (::stat(path, &info) != 0) return false;
  // What could not be served is not deleted either: directories, FIFOs, devices, sockets. A
  // read-only file cannot be deleted, as on Windows.
  if (!S_ISREG(info.st_mode) || (info.st_mode & S_IWUSR) == 0) return false;
  SendingTable& table = Sending();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (table.files.count(KeyOf(info)) != 0) return false;
  return ::unlink(path) == 0;
}

}  // namespace quarv::platform
