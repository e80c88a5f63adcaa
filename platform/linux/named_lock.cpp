// NamedLock on Linux: an exclusive flock on a file named after the lock, in a directory that only
// this user can create entries in. The directory is, in this order: $XDG_RUNTIME_DIR, then
// /run/user/<uid>, each only when it is a directory owned by the user that nobody else may write
// to; else ".quarv" in the user's home directory ($HOME, else the password database), created
// private to the user and checked the same way. A place that anybody may write to (/tmp, an
// abstract socket name) is never used: another user could take the name first and keep the
// program from ever running. The system releases the lock when the process ends; it is per user,
// like a named mutex in a Windows session, and its name may carry a scope (LockScopeOf).
#include "platform/named_lock.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace quarv::platform {
namespace {

constexpr mode_t kPrivateDirMode = 0700;
constexpr mode_t kLockFileMode = 0600;
constexpr char kHomeLockDirectory[] = ".quarv";
constexpr std::size_t kLongestName = 200;

// A name that can be used as one path component.
bool IsUsableName(const char* name) {
  if (name == nullptr || name[0] == '\0' || std::strcmp(name, ".") == 0 ||
      std::strcmp(name, "..") == 0) {
    return false;
  }
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '/') return false;
  }
  return std::strlen(name) < kLongestName;
}

// A directory owned by this user in which nobody else may create, remove or rename entries.
bool IsPrivateDirectory(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string HomeDirectory() {
  // Read once, when the program takes its lock at start.
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  if (home != nullptr && home[0] == '/') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr) {
    return "";
  }
  return found->pw_dir;
}

// The directory of the lock, or "" when there is none that only this user can write to.
std::string PrivateDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");  // NOLINT(concurrency-mt-unsafe)
  if (runtime != nullptr && IsPrivateDirectory(runtime)) return runtime;
  std::string userRuntime = "/run/user/" + std::to_string(::geteuid());
  if (IsPrivateDirectory(userRuntime)) return userRuntime;
  const std::string home = HomeDirectory();
  if (home.empty() || home[0] != '/') return "";
  std::string dir = (home.back() == '/' ? home : home + "/") + kHomeLockDirectory;
  if (::mkdir(dir.c_str(), kPrivateDirMode) != 0 && errno != EEXIST) return "";
  // lstat: a symbolic link under that name is not followed, whoever planted it.
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "";
  }
  return dir;
}

}  // namespace

NamedLock::~NamedLock() {
  Release();
}

NamedLock::Result NamedLock::Acquire(const char* name) {
  Release();
  if (!IsUsableName(name)) return Result::Failed;
  const std::string dir = PrivateDirectory();
  if (dir.empty()) return Result::Failed;
  const std::string path = dir + "/" + name + ".lock";
  const int fd =
      ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, kLockFileMode);
  if (fd < 0) return Result::Failed;
  // Only a plain file of this user's is a lock of this user's.
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    ::close(fd);
    return Result::Failed;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    handle_ = fd;
    return Result::Acquired;
  }
  const int error = errno;
  ::close(fd);
  return error == EWOULDBLOCK ? Result::AlreadyHeld : Result::Failed;
}

std::string LockScopeOf(const char* directory) {
  std::array<char, PATH_MAX> resolved{};
  if (::realpath(directory, resolved.data()) != nullptr) return resolved.data();
  return directory;
}

void NamedLock::Release() {
  if (handle_ >= 0) {
    ::close(static_cast<int>(handle_));  // the lock goes with the descriptor
    handle_ = -1;
  }
}

}  // namespace quarv::platform
