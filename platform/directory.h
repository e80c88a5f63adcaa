// Directory enumeration (FindFirstFileA / FindNextFileA on a pattern, or of a base directory).
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_time.h"

namespace quarv::platform {

class BaseDirectory;

struct DirectoryEntry {
  std::string name;
  bool isDirectory = false;
  // A plain file: not a directory, FIFO, device or socket. A link counts as its target; read
  // beneath a base directory, only while that target lies beneath the base (otherwise the entry
  // is neither a directory nor a file).
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
  // Enumerates the base directory itself, which must stay open while this reads it.
  bool Open(const BaseDirectory& base);
  // The next entry, or false when there is none.
  bool Next(DirectoryEntry* entry);
  void Close();

 private:
  void* state_ = nullptr;
};

}  // namespace quarv::platform
