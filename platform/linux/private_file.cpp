// Whole small files, and files only their owner may read (Linux).
#include "platform/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace quarv::platform {

namespace {

constexpr mode_t kPrivateMode = 0600;
constexpr mode_t kPublicMode = 0644;
// The permission bits of the file's group and of others.
constexpr mode_t kOthersBits = 0077;
constexpr std::size_t kReadChunk = 4096;

// strerror_r comes in two flavours; both give a text here.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* ErrorText(const char* result, const char* /*buffer*/) {
  return result;
}

bool Fail(SystemError* error, int code) {
  if (error != nullptr) {
    char buffer[128] = {};
    *error = SystemError{static_cast<std::uint32_t>(code),
                         ErrorText(strerror_r(code, buffer, sizeof buffer), buffer)};
  }
  return false;
}

// Closes the descriptor when it goes out of scope, unless released.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes it now; false when the close reports a failure.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteNew(const char* path, const std::string& bytes, mode_t mode, SystemError* error) {
  Descriptor file(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (file.get() < 0) return Fail(error, errno);
  int failure = 0;
  for (std::size_t done = 0; done < bytes.size() && failure == 0;) {
    const ssize_t wrote = ::write(file.get(), bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      failure = wrote < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(wrote);
  }
  if (failure == 0 && ::fsync(file.get()) != 0) failure = errno;
  if (!file.Close() && failure == 0) failure = errno;
  if (failure != 0) {
    // Half a key is worse than none: the next start would refuse it.
    ::unlink(path);
    return Fail(error, failure);
  }
  return true;
}

}  // namespace

bool WritePrivateFile(const char* path, const std::string& bytes, SystemError* error) {
  return WriteNew(path, bytes, kPrivateMode, error);
}

bool WriteNewFile(const char* path, const std::string& bytes, SystemError* error) {
  return WriteNew(path, bytes, kPublicMode, error);
}

PrivacyCheck CheckPrivateFile(const char* path, std::uint32_t* mode, SystemError* error) {
  struct stat info {};
  if (::stat(path, &info) != 0) {
    const int code = errno;
    Fail(error, code);
    return code == ENOENT ? PrivacyCheck::Missing : PrivacyCheck::Unreadable;
  }
  if (mode != nullptr) *mode = static_cast<std::uint32_t>(info.st_mode & 07777);
  return (info.st_mode & kOthersBits) != 0 ? PrivacyCheck::ReadableByOthers : PrivacyCheck::Private;
}

bool ReadWholeFile(const char* path, std::string* bytes, SystemError* error) {
  Descriptor file(::open(path, O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return Fail(error, errno);
  std::string contents;
  char chunk[kReadChunk];
  for (;;) {
    const ssize_t got = ::read(file.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail(error, errno);
    if (got == 0) break;
    if (contents.size() + static_cast<std::size_t>(got) > kWholeFileLimit) {
      if (error != nullptr) {
        *error = SystemError{kErrorFileTooLarge,
                             "larger than " + std::to_string(kWholeFileLimit) + " bytes"};
      }
      return false;
    }
    contents.append(chunk, static_cast<std::size_t>(got));
  }
  *bytes = std::move(contents);
  return true;
}

}  // namespace quarv::platform
