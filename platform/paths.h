// Base directories: how a BASE setting becomes the prefix that file names are appended to, and
// the open base directory beneath which the file commands resolve their names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

namespace quarv::platform {

// The BASE used when the settings name none: "c:\\" on Windows, "/" on POSIX.
const char* DefaultBase();

// Forms the base prefix of `base`: on Windows the long-path prefix "\\?\", the value and a
// closing backslash unless it already ends in one; on POSIX the value and a closing '/' unless it
// already ends in one. Returns false (and stores an empty text) when it does not fit in `size`.
bool FormBasePrefix(const char* base, char* out, std::size_t size);

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

 private:
  std::intptr_t handle_ = -1;
  std::string prefix_;
};

}  // namespace quarv::platform
