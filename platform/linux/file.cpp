// Files on Linux: the opens, reads and deletes of the file commands, with the results the
// Windows calls give (error codes, read-only attribute, the sharing rule of an open for sending).
#include "platform/file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "common/thread_annotations.h"
#include "platform/linux/beneath.h"
#include "platform/linux/file_native.h"
#include "platform/linux/time_convert.h"
#include "platform/paths.h"

namespace quarv::platform {
namespace {

// Files from this size on are announced to the system as read from start to end.
constexpr std::uint64_t kSequentialHintSize = 1024 * 1024;

// The files this process is sending. An open for sending on Windows denies writers and a second
// open for writing; here a second sender and a delete consult this table instead. Every session
// thread sends and deletes: the table is shared under its mutex.
struct SendingTable {
  Mutex mutex;
  std::set<FileKey> files GUARDED_BY(mutex);
};

SendingTable& Sending() {
  static SendingTable table;
  return table;
}

FileKey KeyOf(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

FileIdentity IdentityOf(const struct stat& info) {
  const FileKey key = KeyOf(info);
  return {key.first, key.second, static_cast<std::uint64_t>(info.st_size),
          native::ToFileTime(info.st_mtim)};
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

// Splits `name` into the directory part that holds its entry ("." for none; with its closing
// '/') and the entry's own name.
std::pair<std::string, std::string> SplitName(const char* name) {
  const std::string whole(name);
  const auto slash = whole.find_last_of('/');
  if (slash == std::string::npos) return {".", whole};
  return {whole.substr(0, slash + 1), whole.substr(slash + 1)};
}

// The error of a name resolved beneath the base directory `base`: a link that would lead out of
// it (EXDEV; ELOOP where links are not followed) counts as a missing file, and a missing file is
// "file not found" while the directory part of the name exists beneath `base`.
SystemError ErrorBeneath(int error, const BaseDirectory& base, const char* name) {
  switch (error) {
    case EXDEV:
    case ELOOP:
      return MakeError(kErrorFileNotFound, "File not found");
    case ENOENT: {
      const std::string parent = SplitName(name).first;
      const native::UniqueFd found(native::OpenBeneath(base, parent.c_str(), O_PATH | O_DIRECTORY));
      return found.get() >= 0 ? MakeError(kErrorFileNotFound, "File not found")
                              : MakeError(kErrorPathNotFound, "Path not found");
    }
    default:
      return native::ErrorFromErrno(error);
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

// Takes a descriptor just opened for sending (read-only, non-blocking) into the table of files
// being sent under `*key`, or fails: only regular files are served; a file without the owner's
// write bit is read-only, and an open that asks for write access fails on it (also for root); a
// file already being sent or open for writing elsewhere is a sharing violation.
bool AdmitForSending(int fd, FileKey* key, SystemError* error) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    *error = native::ErrorFromErrno(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode) || (info.st_mode & S_IWUSR) == 0) {
    *error = MakeError(kErrorAccessDenied, "Access denied");
    return false;
  }
  // O_NONBLOCK stays: it has no effect on the reads of a regular file, and clearing it would
  // cost two more calls for every file sent.
  if (static_cast<std::uint64_t>(info.st_size) >= kSequentialHintSize) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // larger read-ahead from the disk
  }
  *key = KeyOf(info);
  SendingTable& table = Sending();
  MutexLock lock(table.mutex);
  if (table.files.count(*key) != 0 || OpenForWritingElsewhere(fd)) {
    *error = MakeError(kErrorSharingViolation, "Sharing violation");
    return false;
  }
  table.files.insert(*key);
  return true;
}

// What could not be served is not deleted either: directories, FIFOs, devices, sockets. A
// read-only file cannot be deleted, as on Windows.
bool Removable(const struct stat& info) {
  return S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) != 0;
}

// Opens `name` beneath `base` to examine it before a delete: for reading where that is allowed
// (so that other openers can be told), else as a path only. `*readable` tells which.
int OpenForRemoval(const BaseDirectory& base, const char* name, bool* readable) {
  const int fd = native::OpenBeneath(base, name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  *readable = fd >= 0;
  // A file that may not be read can still be deleted; only no other opener can be told then.
  if (fd < 0 && errno == EACCES) return native::OpenBeneath(base, name, O_PATH);
  return fd;
}

// Removes the entry `leaf` of `dir` while it is still the file `info`, or a link that leads to
// it: a link is removed itself, never its target. (`dir` and the file were opened one after the
// other; a directory link re-pointed in between must not let the entry of another directory go.)
bool UnlinkIfStill(int dir, const std::string& leaf, const struct stat& info) {
  struct stat entry {};
  if (::fstatat(dir, leaf.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) return false;
  // Only compared, never opened: following the link here reads nothing it leads to.
  if (S_ISLNK(entry.st_mode) && ::fstatat(dir, leaf.c_str(), &entry, 0) != 0) return false;
  return KeyOf(entry) == KeyOf(info) && ::unlinkat(dir, leaf.c_str(), 0) == 0;
}

}  // namespace

namespace native {

SystemError ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return MakeError(kErrorPathNotFound, "Path not found");
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return MakeError(kErrorAccessDenied, "Access denied");
    default:
      return SystemError{static_cast<std::uint32_t>(error), ErrnoText(error)};
  }
}

}  // namespace native

BaseDirectory::~BaseDirectory() {
  Close();
}

bool BaseDirectory::Open(const char* prefix, SystemError* error) {
  Close();
  // The base itself may be reached through links: the operator names it.
  const int fd = ::open(prefix, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = native::ErrorFromErrno(errno);
    return false;
  }
  handle_ = fd;
  prefix_ = prefix;
  realPath_ = native::RealPathOf(prefix, fd);
  return true;
}

void BaseDirectory::Close() {
  if (handle_ != -1) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

File::File() = default;

File::File(std::unique_ptr<Native> native) : native_(std::move(native)) {}

File::~File() {
  Close();
}

File::File(File&& other) noexcept = default;

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = std::move(other.native_);
  }
  return *this;
}

File File::OpenForSending(const BaseDirectory& base, const char* name, SystemError* error) {
  auto opened = std::make_unique<Native>(-1);
  // O_NONBLOCK: opening a FIFO must never wait for a writer (a FIFO is refused on admission).
  native::UniqueFd fd(native::OpenBeneath(base, name, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) {
    *error = ErrorBeneath(errno, base, name);
    return File();
  }
  if (!AdmitForSending(fd.get(), &opened->key, error)) return File();
  opened->sending = true;
  opened->fd = fd.release();
  return File(std::move(opened));
}

bool File::IsOpen() const {
  return native_ != nullptr;
}

bool File::Size(std::uint64_t* size) const {
  struct stat info {};
  if (!IsOpen() || ::fstat(native_->fd, &info) != 0) return false;
  *size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool File::LastWriteTime(FileTime* time) const {
  struct stat info {};
  if (!IsOpen() || ::fstat(native_->fd, &info) != 0) return false;
  *time = native::ToFileTime(info.st_mtim);
  return true;
}

bool File::Identity(FileIdentity* identity) const {
  struct stat info {};
  if (!IsOpen() || ::fstat(native_->fd, &info) != 0) return false;
  *identity = IdentityOf(info);
  return true;
}

bool File::Seek(std::uint64_t offset) {
  if (!IsOpen() || offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
  return ::lseek(native_->fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool File::Read(void* buffer, std::uint32_t length, std::uint32_t* got) {
  *got = 0;
  if (!IsOpen()) return false;
  ssize_t result;
  do {
    result = ::read(native_->fd, buffer, length);
  } while (result < 0 && errno == EINTR);
  if (result < 0) return false;
  *got = static_cast<std::uint32_t>(result);
  return true;
}

bool File::Write(const void* data, std::uint32_t length, std::uint32_t* written) {
  *written = 0;
  if (!IsOpen()) return false;
  const auto* bytes = static_cast<const char*>(data);
  while (*written < length) {
    const ssize_t result = ::write(native_->fd, bytes + *written, length - *written);
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
  if (!IsOpen()) return false;
  const struct timespec stamp = native::FromFileTime(time);
  const struct timespec times[2] = {stamp, stamp};
  return ::futimens(native_->fd, times) == 0;
}

bool File::Close() {
  if (!IsOpen()) return true;
  const std::unique_ptr<Native> closing = std::move(native_);
  if (closing->sending) {
    SendingTable& table = Sending();
    MutexLock lock(table.mutex);
    table.files.erase(closing->key);
  }
  // Not repeated on EINTR (the descriptor is released all the same on Linux); whether the data
  // were written back is then unknown, which counts as a failure.
  return ::close(closing->fd) == 0;
}

bool RemoveFile(const char* path) {
  struct stat info {};
  if (::stat(path, &info) != 0 || !Removable(info)) return false;
  SendingTable& table = Sending();
  MutexLock lock(table.mutex);
  if (table.files.count(KeyOf(info)) != 0) return false;
  return ::unlink(path) == 0;
}

bool RemoveBeneath(const BaseDirectory& base, const char* name, const FileIdentity* expected,
                   bool* changed) {
  const auto [parent, leaf] = SplitName(name);
  if (leaf.empty() || leaf == "." || leaf == "..") return false;
  // The directory that holds the entry, and what the name stands for (through a link that stays
  // beneath the base), both resolved beneath the base: a name that leads out removes nothing.
  const native::UniqueFd dir(native::OpenBeneath(base, parent.c_str(), O_PATH | O_DIRECTORY));
  if (dir.get() < 0) return false;
  bool readable = false;
  const native::UniqueFd file(OpenForRemoval(base, name, &readable));
  struct stat info {};
  if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !Removable(info)) return false;

  SendingTable& table = Sending();
  MutexLock lock(table.mutex);
  if (table.files.count(KeyOf(info)) != 0) return false;
  // As on Windows, a file that anyone else holds open is not deleted: a write lease is granted
  // only while no other descriptor is open on the file, and it is held across the unlink, so no
  // one opens the file in between. Where leases are not allowed, nothing can be told.
  bool leased = false;
  if (readable) {
    ::fcntl(file.get(), F_SETSIG, SIGURG);  // see OpenForWritingElsewhere
    leased = ::fcntl(file.get(), F_SETLEASE, F_WRLCK) == 0;
    if (!leased && errno == EAGAIN) return false;
  }
  // The expected file is compared on the descriptor once the lease is held: from then on no one
  // else opens it (where leases are allowed) until its entry is gone.
  bool same = true;
  if (expected != nullptr) {
    struct stat now {};
    const bool known = ::fstat(file.get(), &now) == 0;
    same = known && IdentityOf(now) == *expected;
    if (known && !same && changed != nullptr) *changed = true;
  }
  const bool removed = same && UnlinkIfStill(dir.get(), leaf, info);
  if (leased) ::fcntl(file.get(), F_SETLEASE, F_UNLCK);
  return removed;
}

}  // namespace quarv::platform
