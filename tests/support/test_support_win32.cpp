// The Windows side of the test helpers: file times through CreateFileW, Windows sockets 1.1 for
// the raw client.
#define WIN32_LEAN_AND_MEAN
// Winsock 1.1 before <windows.h>, as in the platform layer.
#include <winsock.h>

#include <windows.h>

#include <cstring>

#include "tests/support/send_all.h"
#include "tests/support/test_support.h"
#include "tests/support/test_support_os.h"

namespace quarv::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// The socket library, started once for the helpers and never stopped (the code under test pairs
// its own start-ups with clean-ups; this start keeps the library up in between).
void StartSocketLibrary() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data) == 0;
  }();
  (void)started;
}

SOCKET ToSocket(int socket) {
  // Socket handles are small kernel handle values; -1 stays INVALID_SOCKET.
  return static_cast<SOCKET>(static_cast<std::intptr_t>(socket));
}

}  // namespace

namespace os {

std::string ProcessIdText() {
  return std::to_string(GetCurrentProcessId());
}

ReceiveResult ReceiveSome(int socket, std::string* pending, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return ReceiveResult::TimedOut;
  const SOCKET s = ToSocket(socket);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval wait{};
  wait.tv_sec = static_cast<long>(left.count() / 1000);
  wait.tv_usec = static_cast<long>((left.count() % 1000) * 1000);
  if (::select(0, &readable, nullptr, nullptr, &wait) <= 0) return ReceiveResult::TimedOut;
  char chunk[65536];
  const int got = ::recv(s, chunk, sizeof chunk, 0);
  if (got <= 0) return ReceiveResult::Closed;
  pending->append(chunk, static_cast<std::size_t>(got));
  return ReceiveResult::Data;
}

void SendSegmentsAtOnce(int socket) {
  const BOOL on = TRUE;
  ::setsockopt(ToSocket(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
               sizeof on);
}

}  // namespace os

bool IsWindows() {
  return true;
}

std::uint16_t FreeLoopbackPort() {
  StartSocketLibrary();
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  ::closesocket(s);
  return ntohs(address.sin_port);
}

platform::FileTime GetFileTime(const fs::path& path) {
  // Directories open only with backup semantics.
  const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  FILETIME lastWrite{};
  const BOOL ok = ::GetFileTime(file, nullptr, nullptr, &lastWrite);
  CloseHandle(file);
  return ok ? platform::MakeWide(lastWrite.dwLowDateTime, lastWrite.dwHighDateTime) : 0;
}

void SetFileTime(const fs::path& path, platform::FileTime time) {
  const HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  FILETIME value;
  value.dwLowDateTime = platform::LowWord(time);
  value.dwHighDateTime = platform::HighWord(time);
  // Last access and last write, as utimensat sets them on POSIX.
  ::SetFileTime(file, nullptr, &value, &value);
  CloseHandle(file);
}

bool RawClient::Connect(std::uint16_t port, const char* host) {
  Close();
  StartSocketLibrary();
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  fd_ = static_cast<int>(s);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = ::inet_addr(host);
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Close();
    return false;
  }
  return true;
}

bool RawClient::Send(const std::string& bytes) {
  return SendAll(fd_, bytes);
}

void RawClient::Close() {
  if (fd_ >= 0) ::closesocket(ToSocket(fd_));
  fd_ = -1;
  pending_.clear();
}

}  // namespace quarv::test
