// Opening names beneath a directory: openat2 with RESOLVE_BENEATH; where that refuses a link
// that may lead back into the directory (an absolute one), or where openat2 is missing (kernels
// before 5.6, some sandboxes), a walk of the name one component at a time from the base's
// descriptor, with every link read and judged here.
#include "platform/linux/beneath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/paths.h"

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

// A rename or a mount that races with a resolution beneath a directory makes openat2 fail with
// EAGAIN, and a walk finds its last object replaced; either is tried again this many times.
constexpr int kRaceRetries = 4;

// Links followed in one name at most, as the system allows (MAXSYMLINKS); one more is ELOOP.
constexpr int kMaxLinks = 40;

// Directories a walk holds open at once below the base; deeper is ENAMETOOLONG. Names and link
// targets are far shorter; the bound keeps a planted chain of links from using up descriptors.
constexpr std::size_t kMaxDepth = 256;

// Room for the target of a link (PATH_MAX).
constexpr std::size_t kTargetRoom = 4096;

std::atomic<bool> haveOpenat2{true};
std::atomic<bool> useOpenat2{true};

using Components = std::vector<std::string>;

// The components of `path`; empty ones ("//") and "." change nothing and are left out.
Components Split(const std::string& path) {
  Components parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      std::string part = path.substr(start, end - start);
      if (part != ".") parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  return parts;
}

// The absolute paths that name the base itself, as components: its real path and, when it is
// absolute, the prefix as the operator configured it (it resolves to the same directory). Without
// a real path there are none, and every absolute link is refused.
struct BaseRoots {
  std::vector<Components> roots;
};

BaseRoots RootsOf(const BaseDirectory& base) {
  BaseRoots found;
  if (base.RealPath().empty()) return found;
  found.roots.push_back(Split(base.RealPath()));
  if (!base.Prefix().empty() && base.Prefix()[0] == '/')
    found.roots.push_back(Split(base.Prefix()));
  return found;
}

// How many leading components of the absolute `target` name the base, or -1 when it does not lie
// lexically beneath it (or at it): /proc/<pid>/root/<base>/... never does.
int BaseLength(const Components& target, const BaseRoots& roots) {
  for (const Components& root : roots.roots) {
    if (root.size() > target.size()) continue;
    bool same = true;
    for (std::size_t i = 0; same && i < root.size(); ++i) same = root[i] == target[i];
    if (same) return static_cast<int>(root.size());
  }
  return -1;
}

// The directories of a walk from the base down to where it stands: the base at the bottom (not
// owned), each further one opened as a path beneath the one before and closed with the stack.
class DirectoryStack {
 public:
  explicit DirectoryStack(int base) : base_(base) {}
  ~DirectoryStack() { ToBase(); }
  DirectoryStack(const DirectoryStack&) = delete;
  DirectoryStack& operator=(const DirectoryStack&) = delete;

  int Top() const { return held_.empty() ? base_ : held_.back(); }
  bool AtBase() const { return held_.empty(); }
  bool Full() const { return held_.size() >= kMaxDepth; }
  void Push(UniqueFd* dir) { held_.push_back(dir->release()); }
  void Pop() {
    ::close(held_.back());
    held_.pop_back();
  }
  void ToBase() {
    while (!held_.empty()) Pop();
  }

 private:
  int base_;
  std::vector<int> held_;
};

// The target of the link open as a path in `link`; false with errno set when it cannot be read.
bool ReadLink(int link, std::string* target) {
  std::string text(kTargetRoom, '\0');
  const ssize_t length = ::readlinkat(link, "", text.data(), text.size());
  if (length < 0) return false;
  if (static_cast<std::size_t>(length) >= text.size()) {
    errno = ENAMETOOLONG;
    return false;
  }
  text.resize(static_cast<std::size_t>(length));
  *target = std::move(text);
  return true;
}

// Puts the link target `target` in front of the components still to walk (`pending`, the next at
// its back). A relative target goes on from the link's directory; an absolute one only when it
// lies lexically beneath the base, from the base again. Anything else is EXDEV.
bool Splice(const std::string& target, const BaseRoots& roots, DirectoryStack* dirs,
            Components* pending) {
  if (target.empty()) {
    errno = ENOENT;
    return false;
  }
  Components parts = Split(target);
  std::size_t skip = 0;
  if (target[0] == '/') {
    const int length = BaseLength(parts, roots);
    if (length < 0) {
      errno = EXDEV;
      return false;
    }
    skip = static_cast<std::size_t>(length);
    dirs->ToBase();
  }
  for (std::size_t i = parts.size(); i > skip; --i) pending->push_back(std::move(parts[i - 1]));
  return true;
}

// What one walk ended in: a descriptor, an error (errno set), or the last object found replaced
// before it was opened.
enum class Walked { kOpened, kFailed, kReplaced };

// Opens the entry `leaf` of `dir` with `flags`, without following a link, and keeps it only when
// it is the object that the walk examined (`checked`).
Walked OpenChecked(int dir, const std::string& leaf, const struct stat& checked, int flags,
                   int* fd) {
  UniqueFd opened(::openat(dir, leaf.c_str(), flags | O_CLOEXEC | O_NOFOLLOW));
  if (opened.get() < 0) {
    // A link where the walk found something else: replaced in between.
    return errno == ELOOP && !S_ISLNK(checked.st_mode) ? Walked::kReplaced : Walked::kFailed;
  }
  struct stat info {};
  if (::fstat(opened.get(), &info) != 0) return Walked::kFailed;
  if (info.st_dev != checked.st_dev || info.st_ino != checked.st_ino) return Walked::kReplaced;
  *fd = opened.release();
  return Walked::kOpened;
}

// Walks `name` from the base `base` one component at a time: each opened as a path, without
// following it, beneath the directory descriptor of the step before; ".." goes back on the
// walk's own stack (never above the base); a link's target is read and spliced in front of the
// rest. Only the final object is opened with `flags`, relative to its parent.
Walked WalkOnce(int base, const BaseRoots& roots, const char* name, int flags, int* fd) {
  const Components parts = Split(name);
  Components pending(parts.rbegin(), parts.rend());
  // A closing '/' asks for a directory, and follows a link at the end even with O_NOFOLLOW.
  const std::string whole(name);
  const bool directoryWanted = !whole.empty() && whole.back() == '/';
  const bool followLast = (flags & O_NOFOLLOW) == 0 || directoryWanted;
  DirectoryStack dirs(base);
  int links = 0;
  while (!pending.empty()) {
    const std::string part = std::move(pending.back());
    pending.pop_back();
    if (part == "..") {
      if (dirs.AtBase()) {
        errno = EXDEV;
        return Walked::kFailed;
      }
      dirs.Pop();
      continue;
    }
    UniqueFd step(::openat(dirs.Top(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (step.get() < 0 || ::fstat(step.get(), &info) != 0) return Walked::kFailed;
    const bool last = pending.empty();
    if (S_ISLNK(info.st_mode) && (!last || followLast)) {
      std::string target;
      if (++links > kMaxLinks) {
        errno = ELOOP;
        return Walked::kFailed;
      }
      if (!ReadLink(step.get(), &target) || !Splice(target, roots, &dirs, &pending)) {
        return Walked::kFailed;
      }
      continue;
    }
    if (S_ISDIR(info.st_mode)) {
      if (dirs.Full()) {
        errno = ENAMETOOLONG;
        return Walked::kFailed;
      }
      dirs.Push(&step);
      continue;
    }
    if (!last || directoryWanted) {
      errno = ENOTDIR;
      return Walked::kFailed;
    }
    return OpenChecked(dirs.Top(), part, info, flags, fd);
  }
  // The name ends in a directory (the base itself, perhaps): opened through its own descriptor.
  *fd = ::openat(dirs.Top(), ".", flags | O_CLOEXEC | O_NOFOLLOW);
  return *fd >= 0 ? Walked::kOpened : Walked::kFailed;
}

int OpenByWalk(const BaseDirectory& base, const char* name, int flags) {
  const BaseRoots roots = RootsOf(base);
  for (int attempt = 0; attempt <= kRaceRetries; ++attempt) {
    int fd = -1;
    switch (WalkOnce(static_cast<int>(base.Handle()), roots, name, flags, &fd)) {
      case Walked::kOpened:
        return fd;
      case Walked::kFailed:
        return -1;
      case Walked::kReplaced:
        break;
    }
  }
  errno = ENOENT;  // replaced every time it was looked at: taken as gone
  return -1;
}

}  // namespace

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

std::string RealPathOf(const char* path, int dir) {
  char* resolved = ::realpath(path, nullptr);
  if (resolved == nullptr) return {};
  std::string real(resolved);
  std::free(resolved);
  struct stat named {};
  struct stat opened {};
  if (real.empty() || real[0] != '/' || ::stat(real.c_str(), &named) != 0 ||
      ::fstat(dir, &opened) != 0 || named.st_dev != opened.st_dev ||
      named.st_ino != opened.st_ino) {
    return {};
  }
  return real;
}

void UseOpenat2ForTesting(bool use) {
  useOpenat2.store(use, std::memory_order_relaxed);
}

int OpenBeneath(const BaseDirectory& base, const char* name, int flags) {
  if (name[0] == '\0') name = ".";  // the directory itself, as its path with nothing appended
  if (useOpenat2.load(std::memory_order_relaxed) && haveOpenat2.load(std::memory_order_relaxed)) {
    struct open_how how {};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
      const long fd =
          ::syscall(SYS_openat2, static_cast<int>(base.Handle()), name, &how, sizeof how);
      if (fd >= 0) return static_cast<int>(fd);
      if (errno == EAGAIN && attempt < kRaceRetries) continue;
      // Resolution beneath a directory refuses every absolute link, also one that leads back
      // into the directory: such a name is walked instead.
      if (errno == EXDEV) break;
      if (errno != ENOSYS) return -1;
      haveOpenat2.store(false, std::memory_order_relaxed);
      break;
    }
  }
  return OpenByWalk(base, name, flags);
}

}  // namespace quarv::platform::native
