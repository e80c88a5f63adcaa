// Console output on Windows. Messages leave the program as code page 932 bytes; on a console
// they are shown through the wide-character call, so that they read right whatever code page the
// console uses. Nothing is buffered.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <string>

#include "common/thread_annotations.h"

#include "platform/console.h"

namespace quarv::platform {

namespace {

constexpr UINT kConsoleCodePage = 932;
constexpr DWORD kWideChunk = 8192;  // characters per WriteConsoleW call

// Any thread may write or flush; the writes and the lead byte are serialised under the mutex.
Mutex consoleMutex;
// A lead byte that ended the previous write: its character is completed by the next one.
int pendingLeadByte GUARDED_BY(consoleMutex) = -1;

std::wstring ToWide(UINT codePage, const char* bytes, int length) {
  std::wstring wide;
  if (length <= 0) return wide;
  const int count = MultiByteToWideChar(codePage, 0, bytes, length, nullptr, 0);
  if (count <= 0) return wide;
  wide.resize(static_cast<std::size_t>(count));
  const int done = MultiByteToWideChar(codePage, 0, bytes, length, wide.data(), count);
  wide.resize(done > 0 ? static_cast<std::size_t>(done) : 0);
  return wide;
}

void WriteWide(HANDLE out, const std::wstring& text) {
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t left = text.size() - position;
    const DWORD chunk = left < kWideChunk ? static_cast<DWORD>(left) : kWideChunk;
    DWORD written = 0;
    if (!WriteConsoleW(out, text.data() + position, chunk, &written, nullptr) || written == 0) {
      return;
    }
    position += written;
  }
}

void WriteBytes(HANDLE out, const char* bytes, std::size_t length) {
  while (length > 0) {
    const DWORD chunk = length < 0x10000 ? static_cast<DWORD>(length) : 0x10000;
    DWORD written = 0;
    if (!WriteFile(out, bytes, chunk, &written, nullptr) || written == 0) return;
    bytes += written;
    length -= written;
  }
}

// Code page 932 bytes to a console: whole characters only, a trailing lead byte is kept for the
// next write.
void WriteToConsole(HANDLE out, const char* bytes, std::size_t length) REQUIRES(consoleMutex) {
  std::string text;
  if (pendingLeadByte >= 0) {
    text.push_back(static_cast<char>(pendingLeadByte));
    pendingLeadByte = -1;
  }
  text.append(bytes, length);
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsDBCSLeadByteEx(kConsoleCodePage, static_cast<BYTE>(text[i]))) {
      if (i + 1 == text.size()) {
        pendingLeadByte = static_cast<unsigned char>(text[i]);
        text.pop_back();
        break;
      }
      i += 2;
    } else {
      ++i;
    }
  }
  WriteWide(out, ToWide(kConsoleCodePage, text.data(), static_cast<int>(text.size())));
}

}  // namespace

std::string ToConsoleBytes(const char* utf8) {
  if (utf8 == nullptr || *utf8 == '\0') return std::string();
  // The lengths are given: ToWide takes no NUL-terminated form.
  const std::wstring wide = ToWide(CP_UTF8, utf8, static_cast<int>(std::strlen(utf8)));
  if (wide.empty()) return std::string(utf8);
  const int wideLength = static_cast<int>(wide.size());
  const int count = WideCharToMultiByte(kConsoleCodePage, 0, wide.data(), wideLength, nullptr, 0,
                                        nullptr, nullptr);
  if (count <= 0) return std::string(utf8);
  std::string bytes(static_cast<std::size_t>(count), '\0');
  const int done = WideCharToMultiByte(kConsoleCodePage, 0, wide.data(), wideLength, bytes.data(),
                                       count, nullptr, nullptr);
  if (done <= 0) return std::string(utf8);
  bytes.resize(static_cast<std::size_t>(done));
  return bytes;
}

void ConsoleWrite(const char* bytes, std::size_t length) {
  if (bytes == nullptr || length == 0) return;
  MutexLock lock(consoleMutex);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteToConsole(out, bytes, length);
  } else {
    WriteBytes(out, bytes, length);
  }
}

void ConsoleFlush() {
  // Writes are unbuffered; only a lead byte still waiting for its second byte is put out.
  MutexLock lock(consoleMutex);
  if (pendingLeadByte < 0) return;
  const char lead = static_cast<char>(pendingLeadByte);
  pendingLeadByte = -1;
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  WriteWide(out, ToWide(kConsoleCodePage, &lead, 1));
}

}  // namespace quarv::platform
