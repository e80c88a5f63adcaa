// Opening names beneath a directory: openat2 with RESOLVE_BENEATH; where that refuses a link
// that may lead back into the directory (an absolute one), or where openat2 is missing (kernels
// before 5.6, some sandboxes), an open whose descriptor's path is checked afterwards.
#include "platform/linux/beneath.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

namespace quarv::platform::native {
namespace {

#if !__has_include(<linux/openat2.h>)
struct open_how {
  std::uint64_t flags;
  std::uint64_t mode;
  std::uint64_t resolve;
};
constexpr std::uint64_t RESOLVE_NO_MAGICLINKS = 0x02;
constexpr std::uint64_t RESOLVE_BENEATH = 0x08;
#endif
#ifndef SYS_openat2
#define SYS_openat2 437  // the same number on every architecture
#endif

// Room for the path of an open descriptor.
constexpr std::size_t kPathRoom = 4096;

// A rename or a mount that races with a resolution beneath a directory makes openat2 fail with
// EAGAIN; it is tried again this many times.
constexpr int kRaceRetries = 4;

std::atomic<bool> haveOpenat2{true};

// The path the system gives for an open descriptor; empty when it cannot be told (no /proc).
std::string PathOf(int fd) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::string path(kPathRoom, '\0');
  const ssize_t length = ::readlink(link.c_str(), path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(length));
  return path;
}

// Opens `name` following links as they lead, then looks at where the descriptor really is: the
// open is kept only when that lies beneath `dir`. Opened with O_PATH first, so that nothing
// outside is opened for reading (a device, say), then opened again through the descriptor.
int OpenCheckedBeneath(int dir, const char* name, int flags) {
  const UniqueFd found(::openat(dir, name, O_PATH | O_CLOEXEC | (flags & O_NOFOLLOW)));
  if (found.get() < 0) return -1;
  const std::string base = PathOf(dir);
  const std::string path = PathOf(found.get());
  // The directory itself counts too. A deleted directory or file shows as "... (deleted)", and
  // objects without a path (pipes, sockets) show no '/' at the start: neither is taken.
  const bool beneath = !base.empty() && base[0] == '/' && path.size() >= base.size() &&
                       path.compare(0, base.size(), base) == 0 &&
                       (path.size() == base.size() || base.size() == 1 || path[base.size()] == '/');
  if (!beneath) {
    errno = EXDEV;
    return -1;
  }
  if ((flags & O_PATH) != 0) return ::fcntl(found.get(), F_DUPFD_CLOEXEC, 0);
  const std::string again = "/proc/self/fd/" + std::to_string(found.get());
  return ::open(again.c_str(), flags | O_CLOEXEC);
}

}  // namespace

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

int OpenBeneath(int dir, const char* name, int flags) {
  if (name[0] == '\0') name = ".";  // the directory itself, as its path with nothing appended
  if (haveOpenat2.load(std::memory_order_relaxed)) {
    struct open_how how {};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
      const long fd = ::syscall(SYS_openat2, dir, name, &how, sizeof how);
      if (fd >= 0) return static_cast<int>(fd);
      if (errno == EAGAIN && attempt < kRaceRetries) continue;
      // Resolution beneath a directory refuses every absolute link, also one that leads back
      // into the directory: such a name is opened and checked instead.
      if (errno == EXDEV) break;
      if (errno != ENOSYS) return -1;
      haveOpenat2.store(false, std::memory_order_relaxed);
      break;
    }
  }
  return OpenCheckedBeneath(dir, name, flags);
}

}  // namespace quarv::platform::native
