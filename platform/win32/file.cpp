// Files on Windows: the real opens, with the system's own sharing rules and error codes.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/win32/beneath.h"

namespace quarv::platform {

namespace {

HANDLE ToHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}
std::intptr_t FromHandle(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
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

// The system's text for an error code, on one line: line ends become blanks, and trailing blanks
// are dropped. Empty when the system has no text for it.
std::string ErrorText(DWORD code) {
  char buffer[256];
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, buffer, sizeof(buffer), nullptr);
  std::string text;
  for (DWORD i = 0; i < length && buffer[i] != '\0'; ++i) {
    const char c = buffer[i];
    if (c == '\r' || c == '\n') {
      if (!text.empty() && text.back() != ' ') text.push_back(' ');
    } else {
      text.push_back(c);
    }
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

void SetError(SystemError* error, DWORD code) {
  if (error == nullptr) return;
  error->code = code;
  error->text = ErrorText(code);
}

}  // namespace

File::~File() {
  Close();
}

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)),
      sendingKey_{other.sendingKey_[0], other.sendingKey_[1]},
      sending_(std::exchange(other.sending_, false)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
    sendingKey_[0] = other.sendingKey_[0];
    sendingKey_[1] = other.sendingKey_[1];
    sending_ = std::exchange(other.sending_, false);
  }
  return *this;
}

File File::OpenForSending(const char* path, SystemError* error) {
  if (path == nullptr) {
    SetError(error, ERROR_INVALID_PARAMETER);
    return File();
  }
  // Write access is asked for although the file is never written: with it, and with sharing
  // for readers only, the open fails with a sharing violation while anyone else writes or sends
  // the file, fails for a read-only file, and keeps others from writing or deleting it meanwhile.
  const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetError(error, GetLastError());
    return File();
  }
  File file(FromHandle(handle));
  // Only a file on disk is sent. A directory cannot be opened this way at all; a device or a
  // pipe reached through the name is refused as the system refuses a directory. A read-only file
  // is refused too: Windows fails the open itself, but Wine keeps the attribute as the Unix
  // permission bits, which do not hold back a process running as root.
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    file.Close();
    SetError(error, ERROR_ACCESS_DENIED);
    return File();
  }
  return file;
}

File File::OpenForSending(const BaseDirectory& base, const char* name, SystemError* error) {
  if (name == nullptr || !base.IsOpen()) {
    SetError(error, ERROR_INVALID_PARAMETER);
    return File();
  }
  const std::string path = base.Prefix() + name;
  File file = OpenForSending(path.c_str(), error);
  // Opened first, then checked: a link or junction that led out of the base is let go unread.
  if (file.IsOpen() &&
      !win32::LiesBeneath(ToHandle(file.handle_), reinterpret_cast<HANDLE>(base.Handle()))) {
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
  // The partial file is never written through a link: FILE_FLAG_OPEN_REPARSE_POINT opens a
  // symbolic link or junction itself. An entry that is not a plain file of its own (a reparse
  // point, a hard link to another name, a device) is removed, the entry itself and never what it
  // leads to, and the file is created anew. A directory is refused.
  for (int round = 0; round < 2; ++round) {
    // FILE_READ_ATTRIBUTES lets Size and LastWriteTime query the handle; it takes no part in
    // sharing. The hidden attribute applies only when the file is created.
    const HANDLE handle =
        CreateFileA(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    bool plain = false;
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      // A link to a directory cannot be opened for writing; it is known by its attributes.
      attributes = GetFileAttributesA(path);
      if (attributes == INVALID_FILE_ATTRIBUTES ||
          (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        SetError(error, code);
        return File();
      }
    } else {
      File file(FromHandle(handle));
      BY_HANDLE_FILE_INFORMATION info;
      if (!GetFileInformationByHandle(handle, &info)) {
        SetError(error, GetLastError());
        return File();
      }
      // A read-only file is not written (Windows fails the open; see OpenForSending for Wine).
      if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        file.Close();
        SetError(error, ERROR_ACCESS_DENIED);
        return File();
      }
      attributes = info.dwFileAttributes;
      plain = GetFileType(handle) == FILE_TYPE_DISK &&
              (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
              info.nNumberOfLinks <= 1;
      if (plain) return file;
    }
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    // Removing a link to a directory (RemoveDirectoryA) removes the link, not the directory.
    const bool removed = round == 0 && (!directory || link) &&
                         (directory ? RemoveDirectoryA(path) : DeleteFileA(path)) != FALSE;
    if (!removed) break;
  }
  SetError(error, ERROR_ACCESS_DENIED);
  return File();
}

bool File::IsOpen() const {
  return handle_ != -1;
}

bool File::Size(std::uint64_t* size) const {
  if (!IsOpen()) return false;
  DWORD high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = GetFileSize(ToHandle(handle_), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  if (size != nullptr) *size = MakeWide(low, high);
  return true;
}

bool File::LastWriteTime(FileTime* time) const {
  if (!IsOpen()) return false;
  FILETIME lastWrite;
  if (!GetFileTime(ToHandle(handle_), nullptr, nullptr, &lastWrite)) return false;
  if (time != nullptr) *time = FromFiletime(lastWrite);
  return true;
}

bool File::Seek(std::uint64_t offset) {
  if (!IsOpen()) return false;
  LONG high = static_cast<LONG>(HighWord(offset));
  // A low word of all ones is a valid position, so only the error code tells a failure.
  SetLastError(NO_ERROR);
  const DWORD low =
      SetFilePointer(ToHandle(handle_), static_cast<LONG>(LowWord(offset)), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

bool File::Read(void* buffer, std::uint32_t length, std::uint32_t* got) {
  DWORD count = 0;
  const bool ok = IsOpen() && ReadFile(ToHandle(handle_), buffer, length, &count, nullptr);
  if (got != nullptr) *got = ok ? count : 0;
  return ok;
}

bool File::Write(const void* data, std::uint32_t length, std::uint32_t* written) {
  DWORD count = 0;
  const bool ok = IsOpen() && WriteFile(ToHandle(handle_), data, length, &count, nullptr);
  if (written != nullptr) *written = ok ? count : 0;
  return ok;
}

bool File::SetTimes(FileTime time) {
  if (!IsOpen()) return false;
  const FILETIME value = ToFiletime(time);
  return SetFileTime(ToHandle(handle_), &value, &value, &value) != FALSE;
}

bool File::TruncateHere() {
  return IsOpen() && SetEndOfFile(ToHandle(handle_)) != FALSE;
}

bool File::Flush() {
  return IsOpen() && FlushFileBuffers(ToHandle(handle_)) != FALSE;
}

bool File::Close() {
  bool closed = true;
  if (handle_ != -1) {
    closed = CloseHandle(ToHandle(handle_)) != FALSE;
    handle_ = -1;
  }
  sending_ = false;
  return closed;
}

bool RemoveFile(const char* path) {
  return path != nullptr && DeleteFileA(path) != FALSE;
}

bool RemoveBeneath(const BaseDirectory& base, const char* name) {
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
  }
  // Deleted through the handle that was checked; the entry goes when it is closed.
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition) != FALSE;
}

bool RenameNoReplace(const char* from, const char* to) {
  // MoveFileA never replaces an existing target.
  return from != nullptr && to != nullptr && MoveFileA(from, to) != FALSE;
}

bool SetNormalAttribute(const char* path) {
  return path != nullptr && SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) != FALSE;
}

// Nothing to do: NTFS records a rename in its metadata journal, and Win32 offers no call that
// flushes a directory's entries through an ordinary handle. The file's own data are made durable
// by File::Flush before the rename.
bool FlushDirectoryEntry(const char* /*path*/) {
  return true;
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
  handle_ = FromHandle(handle);
  prefix_ = prefix;
  return true;
}

void BaseDirectory::Close() {
  if (handle_ != -1) CloseHandle(ToHandle(handle_));
  handle_ = -1;
}

bool FindEntry(const char* path, FileTime* lastWrite) {
  if (path == nullptr) return false;
  WIN32_FIND_DATAA data;
  const HANDLE search = FindFirstFileA(path, &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  if (lastWrite != nullptr) *lastWrite = FromFiletime(data.ftLastWriteTime);
  return true;
}

}  // namespace quarv::platform
