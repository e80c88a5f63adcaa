// Files on Windows: the real opens, with the system's own sharing rules and error codes.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <memory>
#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/operation_seam.h"
#include "platform/paths.h"
#include "platform/win32/beneath.h"
#include "platform/win32/error_text.h"

namespace quarv::platform {

struct File::Native {
  explicit Native(HANDLE opened) : handle(opened) {}
  HANDLE handle;
};

namespace {

HANDLE ToHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

FILETIME ToFiletime(FileTime time) {
  FILETIME out;
  out.dwLowDateTime = LowWord(time);
  out.dwHighDateTime = HighWord(time);
  return out;
}

FileTime FromFiletime(const FILETIME& time) {
  return MakeWide(time.dwLowDateTime, time.dwHighDateTime);
}

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber, MakeWide(info.nFileIndexLow, info.nFileIndexHigh),
          MakeWide(info.nFileSizeLow, info.nFileSizeHigh), FromFiletime(info.ftLastWriteTime)};
}

void SetError(SystemError* error, DWORD code) {
  if (error == nullptr) return;
  error->code = code;
  error->text = win32::ErrorText(code);
}

// Opens the file at `path` for sending, or fails with the error set. Write access is asked for
// although the file is never written: with it, and with sharing for readers only, the open fails
// with a sharing violation while anyone else writes or sends the file, fails for a read-only
// file, and keeps others from writing or deleting it meanwhile.
HANDLE OpenPathForSending(const std::string& path, SystemError* error) {
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetError(error, GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  // Only a file on disk is sent. A directory cannot be opened this way at all; a device or a
  // pipe reached through the name is refused as the system refuses a directory. A read-only file
  // is refused too: Windows fails the open itself, but Wine keeps the attribute as the Unix
  // permission bits, which do not hold back a process running as root.
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    CloseHandle(handle);
    SetError(error, ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

// What one open of the partial file's name found.
enum class PartialEntry { Plain, NotPlain, Failed };

// Opens the partial file's name for writing, the entry itself and never what a link leads to,
// creating a hidden file when there is none. Plain: a plain file of its own, open in `*opened`.
// NotPlain: something else stands there (a reparse point, a hard link to another name, a device,
// a directory), whose `*attributes` tell what; it is not held open. Failed: the error is set.
PartialEntry OpenPartialEntry(const char* path, HANDLE* opened, DWORD* attributes,
                              SystemError* error) {
  // FILE_READ_ATTRIBUTES lets Size and LastWriteTime query the handle; it takes no part in
  // sharing. The hidden attribute applies only when the file is created.
  win32::UniqueHandle handle(
      CreateFileA(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle.valid()) {
    const DWORD code = GetLastError();
    // A link to a directory cannot be opened for writing; it is known by its attributes.
    *attributes = GetFileAttributesA(path);
    if (*attributes == INVALID_FILE_ATTRIBUTES ||
        (*attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      SetError(error, code);
      return PartialEntry::Failed;
    }
    return PartialEntry::NotPlain;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle.get(), &info)) {
    SetError(error, GetLastError());
    return PartialEntry::Failed;
  }
  // A read-only file is not written (Windows fails the open; see OpenPathForSending for Wine).
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetError(error, ERROR_ACCESS_DENIED);
    return PartialEntry::Failed;
  }
  *attributes = info.dwFileAttributes;
  if (GetFileType(handle.get()) != FILE_TYPE_DISK ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      info.nNumberOfLinks > 1) {
    return PartialEntry::NotPlain;
  }
  *opened = handle.release();
  return PartialEntry::Plain;
}

// Removes what stands under the partial file's name, given its `attributes`: a file, or a link
// (the entry itself; removing a link to a directory with RemoveDirectoryA removes the link, not
// the directory). A directory stays.
bool RemovePartialEntry(const char* path, DWORD attributes) {
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (directory && !link) return false;
  return (directory ? RemoveDirectoryA(path) : DeleteFileA(path)) != FALSE;
}

}  // namespace

File::File() = default;

File::File(std::unique_ptr<Native> native) : native_(std::move(native)) {}

File::~File() {
  Close();
}

File::File(File&& other) noexcept = default;

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = std::move(other.native_);
  }
  return *this;
}

File File::OpenForSending(const BaseDirectory& base, const char* name, SystemError* error) {
  if (name == nullptr || !base.IsOpen()) {
    SetError(error, ERROR_INVALID_PARAMETER);
    return File();
  }
  auto opened = std::make_unique<Native>(INVALID_HANDLE_VALUE);
  opened->handle = OpenPathForSending(base.Prefix() + name, error);
  if (opened->handle == INVALID_HANDLE_VALUE) return File();
  File file(std::move(opened));
  // Opened first, then checked: a link or junction that led out of the base is let go unread.
  if (!win32::LiesBeneath(file.native_->handle, reinterpret_cast<HANDLE>(base.Handle()))) {
    file.Close();
    SetError(error, ERROR_FILE_NOT_FOUND);
  }
  return file;
}

File File::OpenPartial(const char* path, SystemError* error) {
  if (path == nullptr) {
    SetError(error, ERROR_INVALID_PARAMETER);
    return File();
  }
  // The partial file is never written through a link: an entry that is not a plain file of its
  // own is removed, and the file is created anew. A directory is refused.
  auto opened = std::make_unique<Native>(INVALID_HANDLE_VALUE);
  for (int round = 0; round < 2; ++round) {
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    switch (OpenPartialEntry(path, &opened->handle, &attributes, error)) {
      case PartialEntry::Plain:
        return File(std::move(opened));
      case PartialEntry::Failed:
        return File();
      case PartialEntry::NotPlain:
        break;
    }
    if (round != 0 || !RemovePartialEntry(path, attributes)) break;
  }
  SetError(error, ERROR_ACCESS_DENIED);
  return File();
}

bool File::IsOpen() const {
  return native_ != nullptr;
}

bool File::Size(std::uint64_t* size) const {
  if (!IsOpen()) return false;
  DWORD high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = GetFileSize(native_->handle, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  if (size != nullptr) *size = MakeWide(low, high);
  return true;
}

bool File::LastWriteTime(FileTime* time) const {
  if (!IsOpen()) return false;
  FILETIME lastWrite;
  if (!GetFileTime(native_->handle, nullptr, nullptr, &lastWrite)) return false;
  if (time != nullptr) *time = FromFiletime(lastWrite);
  return true;
}

bool File::Identity(FileIdentity* identity) const {
  BY_HANDLE_FILE_INFORMATION info;
  if (!IsOpen() || !GetFileInformationByHandle(native_->handle, &info)) return false;
  *identity = IdentityOf(info);
  return true;
}

bool File::Seek(std::uint64_t offset) {
  if (!IsOpen()) return false;
  LONG high = static_cast<LONG>(HighWord(offset));
  // A low word of all ones is a valid position, so only the error code tells a failure.
  SetLastError(NO_ERROR);
  const DWORD low =
      SetFilePointer(native_->handle, static_cast<LONG>(LowWord(offset)), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

bool File::Read(void* buffer, std::uint32_t length, std::uint32_t* got) {
  DWORD count = 0;
  const bool ok = IsOpen() && ReadFile(native_->handle, buffer, length, &count, nullptr);
  if (got != nullptr) *got = ok ? count : 0;
  return ok;
}

bool File::Write(const void* data, std::uint32_t length, std::uint32_t* written) {
  DWORD count = 0;
  const bool ok = IsOpen() && WriteFile(native_->handle, data, length, &count, nullptr);
  if (written != nullptr) *written = ok ? count : 0;
  return ok;
}

bool File::SetTimes(FileTime time) {
  if (!IsOpen()) return false;
  const FILETIME value = ToFiletime(time);
  return SetFileTime(native_->handle, &value, &value, &value) != FALSE;
}

bool File::TruncateHere() {
  return IsOpen() && SetEndOfFile(native_->handle) != FALSE;
}

bool File::Flush() {
  return IsOpen() && OperationMayProceed(Operation::FileSync) &&
         FlushFileBuffers(native_->handle) != FALSE;
}

bool File::Close() {
  if (!IsOpen()) return true;
  const std::unique_ptr<Native> closing = std::move(native_);
  return CloseHandle(closing->handle) != FALSE;
}

bool RemoveFile(const char* path) {
  return path != nullptr && DeleteFileA(path) != FALSE;
}

bool RemoveBeneath(const BaseDirectory& base, const char* name, const FileIdentity* expected,
                   bool* changed) {
  if (name == nullptr || name[0] == '\0' || !base.IsOpen()) return false;
  const HANDLE baseHandle = reinterpret_cast<HANDLE>(base.Handle());
  const std::string path = base.Prefix() + name;
  // The entry itself (a link, not what it points to), shared with no one: the open fails with a
  // sharing violation while anyone else has the file open, a sender of this service included.
  const win32::UniqueHandle entry(CreateFileA(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                              nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!entry.valid() || GetFileType(entry.get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(entry.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
      !win32::LiesBeneath(entry.get(), baseHandle)) {
    return false;
  }
  // The file the name stands for: the entry itself, or the file a link points to.
  FileIdentity found = IdentityOf(info);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A link is deleted only while what it points to is a file beneath the base.
    const win32::UniqueHandle target(CreateFileA(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION targetInfo;
    if (!target.valid() || !GetFileInformationByHandle(target.get(), &targetInfo) ||
        (targetInfo.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
        !win32::LiesBeneath(target.get(), baseHandle)) {
      return false;
    }
    found = IdentityOf(targetInfo);
  }
  // Compared before the delete through the same handle: shared with no one, the entry cannot be
  // written, replaced or removed in between (for a link, the link; its target is never deleted).
  if (expected != nullptr && found != *expected) {
    if (changed != nullptr) *changed = true;
    return false;
  }
  // Deleted through the handle that was checked; the entry goes when it is closed.
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition) != FALSE;
}

RenameResult RenameNoReplace(const char* from, const char* to) {
  if (from == nullptr || to == nullptr || !OperationMayProceed(Operation::Rename, from, to)) {
    return RenameResult::Failed;
  }
  // MoveFileA never replaces an existing target. It opens `from` first: a target in the way is
  // reported only while `from` is there.
  if (MoveFileA(from, to) != FALSE) return RenameResult::Renamed;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? RenameResult::TargetExists
                                                                     : RenameResult::Failed;
}

void SetNormalAttribute(const char* path) {
  if (path != nullptr) SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
}

// Nothing to do (but tell the test seam): NTFS records a rename in its metadata journal, and
// Win32 offers no call that flushes a directory's entries through an ordinary handle. The file's
// own data are made durable by File::Flush before the rename.
bool FlushDirectoryEntry(const char* path) {
  return OperationMayProceed(Operation::DirectorySync, path);
}

bool CanFlushFileSystem() {
  return false;
}

// Not available; the test seam is told all the same.
bool FlushFileSystem(const char* directory) {
  (void)OperationMayProceed(Operation::FileSystemSync, directory);
  return false;
}

BaseDirectory::~BaseDirectory() {
  Close();
}

bool BaseDirectory::Open(const char* prefix, SystemError* error) {
  Close();
  if (prefix == nullptr) {
    SetError(error, ERROR_INVALID_PARAMETER);
    return false;
  }
  // Held open only for reading attributes, shared with everyone: it hinders no one. The system
  // resolves links on the way to it: the operator names the base.
  const HANDLE handle = CreateFileA(prefix, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    SetError(error, code == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : code);
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(handle);
    SetError(error, ERROR_PATH_NOT_FOUND);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  prefix_ = prefix;
  return true;
}

void BaseDirectory::Close() {
  if (handle_ != -1) CloseHandle(ToHandle(handle_));
  handle_ = -1;
}

bool FindEntry(const char* path, FileTime* lastWrite, std::uint64_t* size) {
  if (path == nullptr) return false;
  WIN32_FIND_DATAA data;
  const HANDLE search = FindFirstFileA(path, &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  if (lastWrite != nullptr) *lastWrite = FromFiletime(data.ftLastWriteTime);
  if (size != nullptr) *size = MakeWide(data.nFileSizeLow, data.nFileSizeHigh);
  return true;
}

}  // namespace quarv::platform
