// Directory enumeration on POSIX: opendir/readdir, with each entry's kind, size and last-write
// time taken from fstatat (links followed, so a link counts as what it points to).
#include "platform/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/posix/time_convert.h"

namespace quarv::platform {
namespace {

struct ReaderState {
  DIR* dir = nullptr;
};

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
  state_ = new ReaderState{dir};
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
  if (::fstatat(::dirfd(state->dir), found->d_name, &info, 0) == 0) {
    entry->isDirectory = S_ISDIR(info.st_mode);
    entry->isRegular = S_ISREG(info.st_mode);
    entry->size = entry->isRegular ? static_cast<std::uint64_t>(info.st_size) : 0;
    entry->lastWrite = posix::ToFileTime(info.st_mtim);
  }
  // An entry that cannot be examined (a dangling link, say) is neither a directory nor a file.
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
