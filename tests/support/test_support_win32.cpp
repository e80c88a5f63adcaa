// The Windows side of the test helpers: CreateProcess children with output files, file times
// through CreateFileW, Windows sockets 1.1 for the raw client.
#define WIN32_LEAN_AND_MEAN
// Winsock 1.1 before <windows.h>, as in the platform layer.
#include <winsock.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>

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

HANDLE ToHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

DWORD Milliseconds(std::chrono::milliseconds duration) {
  if (duration.count() <= 0) return 0;
  // INFINITE (all ones) is never passed: a wait always has an end.
  return static_cast<DWORD>(std::min<long long>(duration.count(), 0x7FFFFFFF));
}

// One argument as the C runtime's command-line parser reads it back: quoted when it holds a blank
// or a quote or is empty, backslashes doubled only where they precede a quote.
void AppendQuoted(const std::string& argument, std::string* line) {
  if (!line->empty()) line->push_back(' ');
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
    line->append(argument);
    return;
  }
  line->push_back('"');
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      line->append(backslashes * 2 + 1, '\\');
    } else {
      line->append(backslashes, '\\');
    }
    backslashes = 0;
    line->push_back(c);
  }
  line->append(backslashes * 2, '\\');
  line->push_back('"');
}

HANDLE OpenInheritable(const wchar_t* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{};
  inherit.nLength = sizeof inherit;
  inherit.bInheritHandle = TRUE;
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts the process with exactly the three standard handles inherited (sockets and files the
// test holds stay out of the child, so that closing them in the test closes them for good).
bool CreateWithHandles(const std::string& application, std::string* commandLine,
                       const std::string& workDir, HANDLE in, HANDLE out, HANDLE err,
                       PROCESS_INFORMATION* process) {
  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = in;
  startup.StartupInfo.hStdOutput = out;
  startup.StartupInfo.hStdError = err;
  HANDLE handles[3] = {in, out, err};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  const bool haveList = size != 0 && InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
                        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                  handles, sizeof handles, nullptr, nullptr);
  if (haveList) startup.lpAttributeList = attributes;
  const BOOL created =
      CreateProcessA(application.c_str(), commandLine->data(), nullptr, nullptr, TRUE,
                     haveList ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr,
                     workDir.empty() ? nullptr : workDir.c_str(), &startup.StartupInfo, process);
  if (haveList) DeleteProcThreadAttributeList(attributes);
  return created != FALSE;
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

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) Kill();
  if (process_ != 0) CloseHandle(ToHandle(process_));
  process_ = 0;
  std::error_code error;
  if (!outPath_.empty()) fs::remove(outPath_, error);
  if (!errPath_.empty()) fs::remove(errPath_, error);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const fs::path& workDir) {
  if (argv.empty() || (pid_ > 0 && !reaped_)) return false;
  if (process_ != 0) CloseHandle(ToHandle(process_));
  process_ = 0;
  static std::atomic<int> counter{0};
  const fs::path stem = fs::temp_directory_path() /
                        ("quarv-child-" + os::ProcessIdText() + "-" + std::to_string(counter++));
  outPath_ = stem.string() + ".out";
  errPath_ = stem.string() + ".err";
  std::string commandLine;
  for (const auto& argument : argv) AppendQuoted(argument, &commandLine);

  // Inheritable handles exist only while this lock is held, so that a child started at the same
  // time by another thread cannot take them along.
  static std::mutex startMutex;
  std::lock_guard<std::mutex> lock(startMutex);
  const HANDLE in = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  const HANDLE out = OpenInheritable(outPath_.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  const HANDLE err = OpenInheritable(errPath_.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  PROCESS_INFORMATION info{};
  const bool created =
      in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
      CreateWithHandles(argv[0], &commandLine, workDir.string(), in, out, err, &info);
  for (const HANDLE handle : {in, out, err}) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  if (!created) return false;
  CloseHandle(info.hThread);
  process_ = reinterpret_cast<std::intptr_t>(info.hProcess);
  pid_ = static_cast<int>(info.dwProcessId);
  reaped_ = false;
  status_ = 0;
  return true;
}

bool ChildProcess::Wait(std::chrono::milliseconds timeout, int* exitCode) {
  if (pid_ <= 0 || process_ == 0) return false;
  if (!reaped_) {
    if (WaitForSingleObject(ToHandle(process_), Milliseconds(timeout)) != WAIT_OBJECT_0) {
      return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(ToHandle(process_), &code);
    status_ = static_cast<int>(code);
    reaped_ = true;
  }
  if (exitCode != nullptr) *exitCode = status_;
  return true;
}

void ChildProcess::Signal(int signalNumber) {
  if (pid_ > 0 && !reaped_) {
    TerminateProcess(ToHandle(process_), static_cast<UINT>(128 + signalNumber));
  }
}

void ChildProcess::Kill() {
  if (pid_ <= 0 || reaped_) return;
  constexpr int kKillSignal = 9;
  TerminateProcess(ToHandle(process_), 128 + kKillSignal);
  // The end of a terminated process is prompt; the wait is bounded all the same.
  Wait(std::chrono::seconds(30));
}

bool ChildProcess::Running() {
  return pid_ > 0 && !Wait(std::chrono::milliseconds(0));
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
  std::size_t done = 0;
  while (done < bytes.size()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - done, INT_MAX));
    const int sent = ::send(ToSocket(fd_), bytes.data() + done, chunk, 0);
    if (sent <= 0) return false;
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

void RawClient::Close() {
  if (fd_ >= 0) ::closesocket(ToSocket(fd_));
  fd_ = -1;
  pending_.clear();
}

}  // namespace quarv::test
