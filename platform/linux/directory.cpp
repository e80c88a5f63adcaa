// Directory enumeration on POSIX: opendir/readdir, with each entry's kind, size and last-write
// time taken from fstatat. A link counts as what it points to; read beneath a base directory,
// only while that lies beneath the base (it is opened beneath the base, as a GET would).
#include "platform/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/paths.h"
#include "platform/linux/beneath.h"
#include "platform/linux/time_convert.h"

namespace quarv::platform {
namespace {

struct ReaderState {
  DIR* dir = nullptr;
  int base = -1;  // the base directory the entries are resolved beneath; -1: links followed
};

// The status of the entry `name` of the base directory: a link is resolved beneath the base.
bool StatBeneath(int dir, int base, const char* name, struct stat* info) {
  if (::fstatat(dir, name, info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISLNK(info->st_mode)) return true;
  const native::UniqueFd target(native::OpenBeneath(base, name, O_PATH));
  return target.get() >= 0 && ::fstat(target.get(), info) == 0;
}

}  // namespace

DirectoryReader::~DirectoryReader() {
  Close();
}

bool DirectoryReader::Open(const char* pattern) {
  Close();
  // The pattern is the directory's prefix followed by "*"; the directory is what stands before.
  std::string directory(pattern);
  if (!directory.empty() && directory.back() == '*') directory.pop_back();
  if (directory.empty()) directory = ".";
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return false;
  state_ = new ReaderState{dir, -1};
  return true;
}

bool DirectoryReader::Open(const BaseDirectory& base) {
  Close();
  const int baseFd = static_cast<int>(base.Handle());
  const int fd = ::openat(baseFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return false;
  }
  state_ = new ReaderState{dir, baseFd};
  return true;
}

bool DirectoryReader::Next(DirectoryEntry* entry) {
  auto* state = static_cast<ReaderState*>(state_);
  if (state == nullptr) return false;
  const dirent* found = ::readdir(state->dir);
  if (found == nullptr) return false;
  *entry = DirectoryEntry{};
  entry->name = found->d_name;
  struct stat info {};
  const bool known = state->base >= 0
                         ? StatBeneath(::dirfd(state->dir), state->base, found->d_name, &info)
                         : ::fstatat(::dirfd(state->dir), found->d_name, &info, 0) == 0;
  if (known) {
    entry->isDirectory = S_ISDIR(info.st_mode);
    entry->isRegular = S_ISREG(info.st_mode);
    entry->size = entry->isRegular ? static_cast<std::uint64_t>(info.st_size) : 0;
    entry->lastWrite = native::ToFileTime(info.st_mtim);
  }
  // An entry that cannot be examined (a dangling link, or one leading out of the base) is
  // neither a directory nor a file.
  return true;
}

void DirectoryReader::Close() {
  auto* state = static_cast<ReaderState*>(state_);
  if (state == nullptr) return;
  ::closedir(state->dir);
  delete state;
  state_ = nullptr;
}

}  // namespace quarv::platform
