#include "tests/support/service_process.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <thread>

#include "tests/support/settings_file.h"

namespace quarv::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

NotifyListener::NotifyListener(const fs::path& path) : path_(path.string()) {
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  if (path_[0] == '@') address.sun_path[0] = '\0';
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_.size());
  bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
}

NotifyListener::~NotifyListener() {
  ::close(fd_);
  if (path_[0] != '@') ::unlink(path_.c_str());
}

std::string NotifyListener::Next(std::chrono::milliseconds timeout) {
  pollfd waiter{fd_, POLLIN, 0};
  if (::poll(&waiter, 1, static_cast<int>(timeout.count())) <= 0) return {};
  char buffer[1024];
  const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
  return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

bool NotifyListener::WaitFor(const std::string& text, std::vector<std::string>* seen,
                             std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (int count = 0; count < 100; ++count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const std::string message = Next(left);
    if (message.empty()) return false;
    if (seen != nullptr) seen->push_back(message);
    if (message.find(text) != std::string::npos) return true;
  }
  return false;
}

ServiceProcess::ServiceProcess(std::string password)
    : password_(std::move(password)),
      served_(dir_.path() / kBaseName),
      exe_(CopyExecutable(Executable(), dir_.path())),
      port_(FreeLoopbackPort()) {
  fs::create_directory(served_);
}

ServiceProcess::~ServiceProcess() {
  if (process_.Running()) Terminate();
}

fs::path ServiceProcess::Executable() {
  return QUARV_SVC_EXE;
}

void ServiceProcess::WriteSettings(const std::string& lines) const {
  WriteServiceSettings(dir(), lines);
}

bool ServiceProcess::Launch(const NotifyListener* notify) {
  LaunchOptions options;
  if (notify != nullptr) options.environment.emplace_back("NOTIFY_SOCKET", notify->name());
  return process_.Start({exe_.string()}, dir(), options);
}

bool ServiceProcess::Start(const std::string& address) {
  WriteSettings(ServiceSettings(port_, served_, password_, address));
  if (!Launch()) return false;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    RawClient probe;
    if (probe.Connect(port_, address.c_str())) {
      // The probe's session says goodbye and is waited out: the service gives back its place
      // before it closes, so a test that starts now finds every place free.
      return probe.Send("QUIT\r\n") && probe.ReadAll(10s) == "200 GoodBye.\r\n";
    }
    if (!process_.Running()) return false;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

bool ServiceProcess::StartWith(const std::string& moreLines) {
  WriteSettings(ServiceSettings(port_, served_, password_) + moreLines);
  if (!Launch()) return false;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (process_.Stderr().find("QuarvSvc: started: listening on ") != std::string::npos) {
      return true;
    }
    if (!process_.Running()) return false;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

int ServiceProcess::Terminate(int signalNumber) {
  process_.Signal(signalNumber);
  int code = -1;
  if (!process_.Wait(20s, &code)) {
    process_.Kill();
    return -1;
  }
  return code;
}

}  // namespace quarv::test
