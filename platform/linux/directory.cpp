// Directory enumeration on Linux: opendir/readdir of the base directory, with each entry's kind,
// size and last-write time taken from fstatat. A link counts as what it points to, only while
// that lies beneath the base (it is opened beneath the base, as a GET would).
#include "platform/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <utility>

#include "platform/linux/beneath.h"
#include "platform/linux/time_convert.h"
#include "platform/paths.h"

namespace quarv::platform {

struct DirectoryReader::Native {
  explicit Native(const BaseDirectory& baseDir) : base(baseDir) {}
  ~Native() {
    if (dir != nullptr) ::closedir(dir);
  }
  Native(const Native&) = delete;
  Native& operator=(const Native&) = delete;
  DIR* dir = nullptr;
  const BaseDirectory& base;  // the base directory the entries are resolved beneath
};

namespace {

// The status of the entry `name` of the base directory: a link is resolved beneath the base.
bool StatBeneath(int dir, const BaseDirectory& base, const char* name, struct stat* info) {
  if (::fstatat(dir, name, info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISLNK(info->st_mode)) return true;
  const native::UniqueFd target(native::OpenBeneath(base, name, O_PATH));
  return target.get() >= 0 && ::fstat(target.get(), info) == 0;
}

}  // namespace

DirectoryReader::DirectoryReader() = default;

DirectoryReader::~DirectoryReader() = default;

bool DirectoryReader::Open(const BaseDirectory& base) {
  Close();
  auto opened = std::make_unique<Native>(base);
  native::UniqueFd fd(
      ::openat(static_cast<int>(base.Handle()), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  opened->dir = ::fdopendir(fd.get());
  if (opened->dir == nullptr) return false;
  fd.release();  // the stream has it now
  native_ = std::move(opened);
  return true;
}

bool DirectoryReader::Next(DirectoryEntry* entry) {
  if (native_ == nullptr) return false;
  const dirent* found = ::readdir(native_->dir);
  if (found == nullptr) return false;
  *entry = DirectoryEntry{};
  entry->name = found->d_name;
  struct stat info {};
  // An entry that cannot be examined (a dangling link, or one leading out of the base) is
  // neither a directory nor a file.
  if (StatBeneath(::dirfd(native_->dir), native_->base, found->d_name, &info)) {
    entry->isDirectory = S_ISDIR(info.st_mode);
    entry->isRegular = S_ISREG(info.st_mode);
    entry->size = entry->isRegular ? static_cast<std::uint64_t>(info.st_size) : 0;
    entry->lastWrite = native::ToFileTime(info.st_mtim);
  }
  return true;
}

void DirectoryReader::Close() {
  native_.reset();
}

}  // namespace quarv::platform
