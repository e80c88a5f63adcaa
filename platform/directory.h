// Directory enumeration (FindFirstFileA / FindNextFileA on a pattern).
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_time.h"

namespace quarv::platform {

struct DirectoryEntry {
  std::string name;
  bool isDirectory = false;
  // A plain file: not a directory, FIFO, device or socket (a link counts as its target).
  bool isRegular = false;
  std::uint64_t size = 0;
  FileTime lastWrite = 0;
};

// Enumerates a directory given by its list pattern: the base prefix followed by "*".
class DirectoryReader {
 public:
  DirectoryReader() = default;
  ~DirectoryReader();
  DirectoryReader(const DirectoryReader&) = delete;
  DirectoryReader& operator=(const DirectoryReader&) = delete;

  // False when the directory is missing, unreadable, or holds no entry at all.
  bool Open(const char* pattern);
  // The next entry, or false when there is none.
  bool Next(DirectoryEntry* entry);
  void Close();

 private:
  void* state_ = nullptr;
};

}  // namespace quarv::platform
