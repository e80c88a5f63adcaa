// NamedLock on POSIX: an exclusive flock on a file named after the lock, in the user's runtime
// directory ($XDG_RUNTIME_DIR) or else in a private directory of the user's under /tmp. Where no
// such file can be made, an abstract-namespace unix socket bound to "<name>-<uid>" serves
// instead. Both are released by the system when the process ends, and both are per user, like a
// named mutex in a Windows session.
#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quarv::platform {
namespace {

constexpr mode_t kPrivateDirMode = 0700;
constexpr mode_t kLockFileMode = 0600;

// A name that can be used as one path component and within a socket address.
bool IsUsableName(const char* name) {
  if (name == nullptr || name[0] == '\0' || std::strcmp(name, ".") == 0 ||
      std::strcmp(name, "..") == 0) {
    return false;
  }
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '/') return false;
  }
  return std::strlen(name) < 200;
}

// A directory that only this user can write to, or "" when there is none.
std::string PrivateDirectory() {
  // Read once, when the program takes its lock at start.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");  // NOLINT(concurrency-mt-unsafe)
  if (runtime != nullptr && runtime[0] == '/') {
    struct stat st {};
    if (::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid()) {
      return runtime;
    }
  }
  std::string dir = "/tmp/quarv-" + std::to_string(::getuid());
  if (::mkdir(dir.c_str(), kPrivateDirMode) != 0 && errno != EEXIST) return "";
  struct stat st {};
  // lstat: a symbolic link planted under that name by someone else is not followed.
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "";
  }
  return dir;
}

enum class Outcome { Acquired, AlreadyHeld, Unavailable };

Outcome LockFile(const char* name, std::intptr_t* handle) {
  const std::string dir = PrivateDirectory();
  if (dir.empty()) return Outcome::Unavailable;
  const std::string path = dir + "/" + name + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kLockFileMode);
  if (fd < 0) return Outcome::Unavailable;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    *handle = fd;
    return Outcome::Acquired;
  }
  const int error = errno;
  ::close(fd);
  return error == EWOULDBLOCK ? Outcome::AlreadyHeld : Outcome::Unavailable;
}

Outcome LockSocket(const char* name, std::intptr_t* handle) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Outcome::Unavailable;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // Abstract namespace: the address starts with a zero byte and has no file behind it.
  const std::string text = std::string(name) + "-" + std::to_string(::getuid());
  const std::size_t length =
      text.size() < sizeof(address.sun_path) - 1 ? text.size() : sizeof(address.sun_path) - 1;
  std::memcpy(address.sun_path + 1, text.data(), length);
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0) {
    *handle = fd;
    return Outcome::Acquired;
  }
  const int error = errno;
  ::close(fd);
  return error == EADDRINUSE ? Outcome::AlreadyHeld : Outcome::Unavailable;
}

}  // namespace

NamedLock::~NamedLock() {
  Release();
}

NamedLock::Result NamedLock::Acquire(const char* name) {
  Release();
  if (!IsUsableName(name)) return Result::Failed;
  switch (LockFile(name, &handle_)) {
    case Outcome::Acquired:
      return Result::Acquired;
    case Outcome::AlreadyHeld:
      return Result::AlreadyHeld;
    case Outcome::Unavailable:
      break;
  }
  switch (LockSocket(name, &handle_)) {
    case Outcome::Acquired:
      return Result::Acquired;
    case Outcome::AlreadyHeld:
      return Result::AlreadyHeld;
    case Outcome::Unavailable:
      break;
  }
  return Result::Failed;
}

void NamedLock::Release() {
  if (handle_ >= 0) {
    ::close(static_cast<int>(handle_));  // the lock goes with the descriptor
    handle_ = -1;
  }
}

}  // namespace quarv::platform
