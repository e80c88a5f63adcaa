// Base directories: how a BASE setting becomes the prefix that file names are appended to, and
// the open base directory beneath which the file commands resolve their names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/file.h"
#include "platform/module_path.h"

namespace quarv::platform {

// The BASE used when the settings name none: "c:\\" on Windows, "/" on POSIX.
const char* DefaultBase();

// What every base prefix begins with: on Windows the long-path prefix "\\?\", with which the
// system takes a path literally; nothing on POSIX.
const char* LongPathPrefix();

// True when `path` names a file without regard to the current directory: on POSIX it begins
// with '/'; on Windows with a drive letter and a colon, or with a separator ('\\' or '/',
// also a UNC path). Other paths are relative.
bool IsAbsolutePath(const char* path);

// The key under which the local file system tells the entry `name` apart from others: two names
// with the same key are one file. On POSIX the name itself; on Windows, where names that differ
// only in case are one, its upper-case form (as the file system folds case, non-ASCII letters of
// the ANSI code page included).
std::string EntryKey(const char* name);

// True when the last character of `text` is the path separator (walked with NextCharacter, so
// the second byte of a double-byte character never counts).
inline bool EndsInSeparator(const char* text) {
  const char* last = nullptr;
  for (const char* p = text; *p != '\0'; p = NextCharacter(p)) last = p;
  return last != nullptr && *last == PathSeparator();
}

// Forms the base prefix of `base`: LongPathPrefix(), the value, and the path separator unless
// that text already ends in one. On Windows "\\?\" + base + "\\" (an empty base gives "\\?\"
// alone); on POSIX base + "/". Returns false (and stores an empty text) when it does not fit in
// `size`.
inline bool FormBasePrefix(const char* base, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return false;
  out[0] = '\0';
  if (base == nullptr) return false;
  std::string prefix = std::string(LongPathPrefix()) + base;
  if (!EndsInSeparator(prefix.c_str())) prefix += PathSeparator();
  if (prefix.size() + 1 > size) return false;
  std::memcpy(out, prefix.c_str(), prefix.size() + 1);
  return true;
}

// The base directory, open. A name is resolved beneath it or not at all: a link on the way that
// leads out of it (or leads nowhere) is never followed, so the name counts as missing. The base
// itself may be reached through links; it is resolved once, when opened. Closes itself when
// destroyed; the readers and files opened beneath it do not outlive it.
class BaseDirectory {
 public:
  BaseDirectory() = default;
  ~BaseDirectory();
  BaseDirectory(const BaseDirectory&) = delete;
  BaseDirectory& operator=(const BaseDirectory&) = delete;

  // Opens the directory of the base prefix `prefix` (as FormBasePrefix forms it). Fails with
  // kErrorPathNotFound when it is missing or no directory.
  bool Open(const char* prefix, SystemError* error);
  void Close();
  bool IsOpen() const { return handle_ != -1; }

  // For the platform layer: the open directory (a descriptor or a handle), and the prefix.
  std::intptr_t Handle() const { return handle_; }
  const std::string& Prefix() const { return prefix_; }
  // The base's own absolute path with every link resolved, taken when it was opened and checked
  // to be the directory opened; empty where it could not be told, and on Windows, which needs
  // none. A link whose absolute target begins with it (or with the prefix) leads back beneath.
  const std::string& RealPath() const { return realPath_; }

 private:
  std::intptr_t handle_ = -1;
  std::string prefix_;
  std::string realPath_;
};

}  // namespace quarv::platform
