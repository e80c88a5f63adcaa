// Files on Windows: the real opens, with the system's own sharing rules and error codes.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <utility>

#include "platform/file.h"

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

File File::OpenPartial(const char* path, SystemError* error) {
  if (path == nullptr) {
    SetError(error, ERROR_INVALID_PARAMETER);
    return File();
  }
  // FILE_READ_ATTRIBUTES lets Size and LastWriteTime query the handle; it takes no part in
  // sharing. The hidden attribute applies only when the file is created.
  const HANDLE handle = CreateFileA(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetError(error, GetLastError());
    return File();
  }
  File file(FromHandle(handle));
  // A read-only file is not written (Windows fails the open; see OpenForSending for Wine).
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    file.Close();
    SetError(error, ERROR_ACCESS_DENIED);
    return File();
  }
  return file;
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

void File::Close() {
  if (handle_ != -1) {
    CloseHandle(ToHandle(handle_));
    handle_ = -1;
  }
  sending_ = false;
}

bool RemoveFile(const char* path) {
  return path != nullptr && DeleteFileA(path) != FALSE;
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
