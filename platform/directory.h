// Directory enumeration of the base directory (FindFirstFileA / FindNextFileA on its list
// pattern).
#pragma once

#include <cstdint>
#include <memory>
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

// Enumerates the base directory. What it holds while open is each system's own
// (DirectoryReader::Native, defined by each side).
class DirectoryReader {
 public:
  DirectoryReader();
  ~DirectoryReader();
  DirectoryReader(const DirectoryReader&) = delete;
  DirectoryReader& operator=(const DirectoryReader&) = delete;

  // Enumerates the base directory itself, which must stay open while this reads it. False when
  // it cannot be read (on Windows also when it holds no entry at all).
  bool Open(const BaseDirectory& base);
  // The next entry, or false when there is none.
  bool Next(DirectoryEntry* entry);
  void Close();

 private:
  struct Native;  // what an open enumeration holds; only each system's side knows it
  std::unique_ptr<Native> native_;
};

}  // namespace quarv::platform
