// Opening names beneath a directory without ever leaving it (internal to the Linux side).
#pragma once

#include <string>

namespace quarv::platform {
class BaseDirectory;
}

namespace quarv::platform::native {

// Opens `name`, relative to the open base directory `base`, with `flags` (O_CLOEXEC is added);
// the name must exist. No step of the resolution leaves the base: a link is followed only while
// it stays beneath it, and magic links (/proc) are not followed at all. Returns the descriptor, or
// -1 with errno set: EXDEV when a link (or a "..") would lead out of the base, ELOOP after too
// many links. openat2 (RESOLVE_BENEATH) resolves and opens in one step. A name it refuses for an
// absolute link, and every name where it is missing, is walked one component at a time from the
// base's descriptor instead (see beneath.cpp); no path that the system gives back for an open
// descriptor is ever trusted, since another mount namespace can make it look beneath the base.
int OpenBeneath(const BaseDirectory& base, const char* name, int flags);

// The real path of `path` (realpath: absolute, every link resolved) when it is the directory open
// in `dir` (the same device and inode), else empty. Taken in this process's own namespace.
std::string RealPathOf(const char* path, int dir);

// For tests: false makes OpenBeneath walk every name, as where openat2 is missing.
void UseOpenat2ForTesting(bool use);

// Closes a descriptor when it goes out of scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  // Gives the descriptor up without closing it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace quarv::platform::native
