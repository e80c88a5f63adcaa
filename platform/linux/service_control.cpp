// Service control on POSIX: a dispatcher of our own. Signals are the control codes (SIGTERM and
// SIGINT: stop; SIGUSR1: pause; SIGUSR2: continue; SIGHUP: interrogate), delivered to the
// registered handler on the thread that runs the dispatcher. Each status report is passed on to
// systemd through its notification socket when the process runs under it; started by hand, the
// service simply runs in the foreground until a signal stops it.
#include "platform/service_control.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace quarv::platform {
namespace {

constexpr ServiceStatusHandle kStatusHandle = 1;
// Controls that arrive while the service accepts none yet wait in a queue of this length.
constexpr std::size_t kControlQueueLimit = 16;

const int kControlSignals[] = {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP};

sigset_t ControlSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signalNumber : kControlSignals) sigaddset(&set, signalNumber);
  return set;
}

std::uint32_t ControlForSignal(int signalNumber) {
  switch (signalNumber) {
    case SIGUSR1:
      return kControlPause;
    case SIGUSR2:
      return kControlContinue;
    case SIGHUP:
      return kControlInterrogate;
    default:
      return kControlStop;  // SIGTERM, SIGINT
  }
}

const char* StateName(std::uint32_t state) {
  switch (state) {
    case kServiceStopped:
      return "stopped";
    case kServiceStartPending:
      return "starting";
    case kServiceStopPending:
      return "stopping";
    case kServiceRunning:
      return "running";
    case kServiceContinuePending:
      return "continuing";
    case kServicePausePending:
      return "pausing";
    case kServicePaused:
      return "paused";
    default:
      return "unknown";
  }
}

// The text passed to systemd for one status report.
std::string NotifyMessage(const ServiceStatus& status) {
  std::string message;
  if (status.currentState == kServiceRunning) message += "READY=1\n";
  if (status.currentState == kServiceStopPending) message += "STOPPING=1\n";
  message += "STATUS=";
  message += StateName(status.currentState);
  if (status.currentState == kServiceStopped && status.win32ExitCode != 0) {
    message += " (exit code " + std::to_string(status.win32ExitCode);
    if (status.serviceSpecificExitCode != 0) {
      message += ", service-specific code " + std::to_string(status.serviceSpecificExitCode);
    }
    message += ")";
  }
  return message;
}

// sd_notify: one datagram to the socket that NOTIFY_SOCKET names ('@' for the abstract
// namespace). Failures are ignored: systemd not listening does not make a report invalid.
void SendNotification(const std::string& socketName, const std::string& message) {
  if (socketName.empty()) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketName.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, socketName.data(), socketName.size());
  if (socketName[0] == '@') {
    address.sun_path[0] = '\0';
  } else if (socketName[0] != '/') {
    return;
  }
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketName.size());
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&address), length);
  ::close(fd);
}

// Wakes the dispatcher's wait (an eventfd).
void Wake(int fd) {
  if (fd < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}

class PosixServiceControl final : public ServiceControl {
 public:
  bool RunDispatcher(const char* serviceName, ServiceMainFunction serviceMain) override;
  ServiceStatusHandle RegisterHandler(const char* serviceName,
                                      ServiceControlHandler handler) override;
  bool SetStatus(ServiceStatusHandle handle, const ServiceStatus& status) override;
  std::uint32_t LastError() override { return static_cast<std::uint32_t>(errno); }
  [[noreturn]] void ExitProcess(std::uint32_t code) override { std::_Exit(static_cast<int>(code)); }

 private:
  // Whether the service, as last reported, takes `control` now. Called with mutex_ held.
  bool Deliverable(std::uint32_t control) const;

  std::mutex mutex_;
  bool dispatching_ = false;
  bool stopReported_ = false;
  std::string serviceName_;
  std::string notifySocket_;
  ServiceControlHandler handler_ = nullptr;
  std::uint32_t controlsAccepted_ = 0;
  int wakeFd_ = -1;  // written on every status report and when the service thread ends
};

bool PosixServiceControl::Deliverable(std::uint32_t control) const {
  if (handler_ == nullptr || controlsAccepted_ == 0) return false;
  switch (control) {
    case kControlStop:
      return (controlsAccepted_ & kAcceptStop) != 0;
    case kControlPause:
    case kControlContinue:
      return (controlsAccepted_ & kAcceptPauseContinue) != 0;
    case kControlShutdown:
      return (controlsAccepted_ & kAcceptShutdown) != 0;
    default:
      return true;  // interrogate
  }
}

bool PosixServiceControl::RunDispatcher(const char* serviceName, ServiceMainFunction serviceMain) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (dispatching_) {
      errno = EBUSY;
      return false;
    }
    dispatching_ = true;
    stopReported_ = false;
    serviceName_ = serviceName;
    handler_ = nullptr;
    controlsAccepted_ = 0;
    const char* notify = std::getenv("NOTIFY_SOCKET");
    notifySocket_ = notify != nullptr ? notify : "";
  }

  // The control signals are blocked here before the service thread starts, so that every thread
  // of the service inherits the mask and the signals are read from the signalfd below.
  const sigset_t signals = ControlSignalSet();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const auto giveUp = [&](int error) {
    if (signalFd >= 0) ::close(signalFd);
    if (wakeFd >= 0) ::close(wakeFd);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    dispatching_ = false;
    wakeFd_ = -1;
    errno = error;
    return false;
  };
  if (signalFd < 0 || wakeFd < 0) return giveUp(errno);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wakeFd_ = wakeFd;
  }

  std::atomic<bool> serviceEnded{false};
  std::thread serviceThread;
  try {
    serviceThread = std::thread([serviceMain, &serviceEnded, wakeFd] {
      serviceMain();
      serviceEnded.store(true);
      Wake(wakeFd);
    });
  } catch (const std::system_error&) {
    return giveUp(EAGAIN);
  }

  std::deque<std::uint32_t> queue;
  for (;;) {
    ServiceControlHandler handler = nullptr;
    std::uint32_t control = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopReported_ || serviceEnded.load()) break;
      if (!queue.empty() && Deliverable(queue.front())) {
        control = queue.front();
        queue.pop_front();
        handler = handler_;
      }
    }
    if (handler != nullptr) {
      handler(control);
      continue;
    }
    // Sleeps until a signal comes, a status is reported or the service thread ends.
    pollfd waits[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0) continue;  // EINTR
    std::uint64_t wakes = 0;
    [[maybe_unused]] const ssize_t drained = ::read(wakeFd, &wakes, sizeof wakes);
    signalfd_siginfo info{};
    while (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (queue.size() < kControlQueueLimit) {
        queue.push_back(ControlForSignal(static_cast<int>(info.ssi_signo)));
      }
    }
  }
  serviceThread.join();

  // Signals that came while the service was ending are dropped rather than let through with
  // their default action once the mask is restored.
  signalfd_siginfo info{};
  while (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = nullptr;
  }
  giveUp(0);
  return true;
}

ServiceStatusHandle PosixServiceControl::RegisterHandler(const char* serviceName,
                                                         ServiceControlHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!dispatching_ || serviceName == nullptr || serviceName_ != serviceName) {
    errno = ENOENT;
    return 0;
  }
  handler_ = handler;
  return kStatusHandle;
}

bool PosixServiceControl::SetStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  std::string socketName;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!dispatching_ || handle != kStatusHandle) {
      errno = EBADF;
      return false;
    }
    if (status.currentState < kServiceStopped || status.currentState > kServicePaused) {
      errno = EINVAL;
      return false;
    }
    controlsAccepted_ = status.controlsAccepted;
    if (status.currentState == kServiceStopped) stopReported_ = true;
    socketName = notifySocket_;
    Wake(wakeFd_);  // the dispatcher looks at the state again
  }
  SendNotification(socketName, NotifyMessage(status));
  return true;
}

}  // namespace

ServiceControl& SystemServiceControl() {
  static PosixServiceControl control;
  return control;
}

}  // namespace quarv::platform
