// Files: the opens, reads, writes and renames the file commands and the agent rely on.
// Errors are reported as the Windows error codes the protocol names.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_time.h"

namespace quarv::platform {

inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorSharingViolation = 32;

class BaseDirectory;

// What tells one file, as it is, from any other: its volume and its number on it (Linux: st_dev
// and st_ino; Windows: the volume serial number and the file index), with its size and its
// last-write time. Equal identities are the same file with the same size and time; a new version
// renamed over a name, or bytes appended, give another.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t size = 0;
  FileTime lastWrite = 0;
  bool operator==(const FileIdentity&) const = default;
};

// A system error: the Windows code, and a short text for "404 Unknown Error=code,text".
struct SystemError {
  std::uint32_t code = 0;
  std::string text;
};

// An open file. Closes itself when destroyed; movable, not copyable. What it holds is each
// system's own (File::Native, defined by each side); a closed file holds nothing.
class File {
 public:
  File();
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens an existing regular file `name`, resolved beneath `base`, for sending: read access,
  // other openers may only read it. Fails with kErrorSharingViolation while another sender or a
  // writer has it open, with kErrorAccessDenied for a read-only file, a directory or a file that
  // is not regular, and with kErrorFileNotFound for a name whose resolution would leave the base
  // directory (a link out of it, or one that leads nowhere).
  static File OpenForSending(const BaseDirectory& base, const char* name, SystemError* error);
  // Opens the agent's partial file for writing (others may read it): created when missing,
  // hidden when created, otherwise opened without cutting it.
  static File OpenPartial(const char* path, SystemError* error);

  bool IsOpen() const;
  bool Size(std::uint64_t* size) const;
  bool LastWriteTime(FileTime* time) const;
  // The open file's identity, size and last-write time taken in one call (fstat;
  // GetFileInformationByHandle), so that they belong together.
  bool Identity(FileIdentity* identity) const;
  bool Seek(std::uint64_t offset);
  // Reads up to `length` bytes; `*got` is 0 at the end of the file.
  bool Read(void* buffer, std::uint32_t length, std::uint32_t* got);
  bool Write(const void* data, std::uint32_t length, std::uint32_t* written);
  // Sets creation (where there is one), last-access and last-write time to `time`.
  bool SetTimes(FileTime time);
  // Makes the current position the end of the file.
  bool TruncateHere();
  // Puts the file's data and metadata on stable storage.
  bool Flush();
  // Closes the file; false when the system reports that the close failed (data that a network
  // file system or a quota could not take). Closed either way.
  bool Close();

 private:
  struct Native;  // what an open file holds; only each system's side knows it
  explicit File(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

// DeleteFileA: removes a file (not a directory). Fails for a read-only file and for a file that
// is being sent.
[[nodiscard]] bool RemoveFile(const char* path);
// DELE: removes `name`, resolved beneath `base`. A link is removed itself, never what it points
// to, and only while that lies beneath the base; a name whose resolution leaves the base removes
// nothing. Fails as RemoveFile does, and also while any other opener has the file open.
// With `expected`, only that file is removed: the file the name stands for (for a link, the file
// it points to) is checked on the very object opened for the removal, never by its name again;
// when its identity, size or last-write time differ, nothing is removed and `*changed`, when
// given, is set to true.
[[nodiscard]] bool RemoveBeneath(const BaseDirectory& base, const char* name,
                                 const FileIdentity* expected = nullptr, bool* changed = nullptr);
// What RenameNoReplace did.
enum class RenameResult {
  Renamed,
  TargetExists,  // `to` exists (and `from` does): nothing was renamed
  Failed,        // any other failure, a missing `from` among them: nothing was renamed
};
// Renames `from` to `to`, never replacing an existing `to`.
[[nodiscard]] RenameResult RenameNoReplace(const char* from, const char* to);
// Gives a file the normal attribute (clears hidden), as far as the system lets it: a file whose
// attribute cannot be changed keeps it and is otherwise whole. Nothing to do on Linux, where no
// file is hidden.
void SetNormalAttribute(const char* path);
// Puts the directory entry of `path` on stable storage (the directory is synced on Linux).
[[nodiscard]] bool FlushDirectoryEntry(const char* path);
// Whether FlushFileSystem is available: one call that puts everything written to a file system
// on stable storage (Linux: syncfs). Windows has none that an unprivileged program may call.
bool CanFlushFileSystem();
// Puts everything written to the file system that holds `directory` (the contents, sizes and
// times of its files, closed or not) on stable storage. False when that fails or is not
// available.
[[nodiscard]] bool FlushFileSystem(const char* directory);

// Looks up one directory entry by its path (FindFirstFileA on a path without wildcards), with
// its last-write time and, when `size` is given, its size. Returns false when no entry exists;
// `lastWrite` and `size` then stay untouched.
[[nodiscard]] bool FindEntry(const char* path, FileTime* lastWrite, std::uint64_t* size = nullptr);

}  // namespace quarv::platform
