// Opening names beneath a directory without ever leaving it (internal to the Linux side).
#pragma once

namespace quarv::platform::native {

// Opens `name`, relative to the open directory `dir`, with `flags` (O_CLOEXEC is added). No step
// of the resolution leaves `dir`: a link is followed only while it stays beneath it, and magic
// links (/proc) are not followed at all. Returns the descriptor, or -1 with errno set: EXDEV when
// a link would lead out of `dir`. openat2 (RESOLVE_BENEATH) resolves and opens in one step; a
// name it refuses for an absolute link, and every name where it is missing, is opened with O_PATH
// and kept only when the path of that descriptor (/proc/self/fd) lies beneath the path of `dir`,
// then opened again through that descriptor: never a check of a name followed by its open.
int OpenBeneath(int dir, const char* name, int flags);

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
