// Service control on Linux: a dispatcher of our own. Signals are the control codes (SIGTERM and
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
#include <string>
#include <system_error>
#include <thread>

#include "common/thread_annotations.h"

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

// What the dispatcher waits on: the control signals, blocked on the calling thread (and so on
// every thread it starts) and read from a signalfd, and an eventfd that wakes it. Restores the
// signal mask when destroyed.
class DispatchChannels {
 public:
  DispatchChannels();
  ~DispatchChannels();
  DispatchChannels(const DispatchChannels&) = delete;
  DispatchChannels& operator=(const DispatchChannels&) = delete;

  // 0 once both channels are open, else the error that kept one from opening.
  int OpenError() const { return openError_; }
  int WakeFd() const { return wakeFd_; }
  // Sleeps until a signal comes or the wake channel is written; the control of each signal read
  // joins `queue` while it has room.
  void Wait(std::deque<std::uint32_t>* queue) const;
  // Reads the signals that are still pending and drops them.
  void DropPendingSignals() const;

 private:
  sigset_t previousMask_;
  int signalFd_ = -1;
  int wakeFd_ = -1;
  int openError_ = 0;
};

DispatchChannels::DispatchChannels() {
  const sigset_t signals = ControlSignalSet();
  pthread_sigmask(SIG_BLOCK, &signals, &previousMask_);
  signalFd_ = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (signalFd_ < 0 || wakeFd_ < 0) openError_ = errno;
}

DispatchChannels::~DispatchChannels() {
  if (signalFd_ >= 0) ::close(signalFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void DispatchChannels::Wait(std::deque<std::uint32_t>* queue) const {
  pollfd waits[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  if (::poll(waits, 2, -1) < 0) return;  // EINTR: the caller looks again
  std::uint64_t wakes = 0;
  [[maybe_unused]] const ssize_t drained = ::read(wakeFd_, &wakes, sizeof wakes);
  signalfd_siginfo info{};
  while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (queue->size() < kControlQueueLimit) {
      queue->push_back(ControlForSignal(static_cast<int>(info.ssi_signo)));
    }
  }
}

void DispatchChannels::DropPendingSignals() const {
  signalfd_siginfo info{};
  while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
}

// Threads: RunDispatcher runs on the main thread and delivers the controls there; the service
// thread it starts (and the handler's work on it) calls RegisterHandler and SetStatus. What the
// service last reported, and where a report wakes the dispatcher, are shared under mutex_.
class LinuxServiceControl final : public ServiceControl {
 public:
  bool RunDispatcher(const char* serviceName, ServiceMainFunction serviceMain) override
      EXCLUDES(mutex_);
  ServiceStatusHandle RegisterHandler(const char* serviceName,
                                      ServiceControlHandler handler) override EXCLUDES(mutex_);
  bool SetStatus(ServiceStatusHandle handle, const ServiceStatus& status) override EXCLUDES(mutex_);
  std::uint32_t LastError() override { return static_cast<std::uint32_t>(errno); }
  [[noreturn]] void ExitProcess(std::uint32_t code) override { std::_Exit(static_cast<int>(code)); }

 private:
  // Takes the dispatcher for `serviceName`; false (errno EBUSY) while it runs already.
  bool BeginDispatch(const char* serviceName) EXCLUDES(mutex_);
  // Runs `serviceMain` on a thread of its own and delivers controls until the service has
  // reported SERVICE_STOPPED or its thread has ended. 0, or the error that kept it from starting.
  int Dispatch(ServiceMainFunction serviceMain) EXCLUDES(mutex_);
  // Delivers the controls that the signals stand for, one at a time and each once the service
  // takes it, until the service has reported SERVICE_STOPPED or `serviceEnded` is set.
  void DeliverControls(const DispatchChannels& channels, const std::atomic<bool>& serviceEnded)
      EXCLUDES(mutex_);
  // Sets where status reports wake the dispatcher (-1: nowhere).
  void SetWakeFd(int fd) EXCLUDES(mutex_);
  // Lets the dispatcher go: no handler, no dispatch running.
  void EndDispatch() EXCLUDES(mutex_);
  // Whether the service, as last reported, takes `control` now.
  bool Deliverable(std::uint32_t control) const REQUIRES(mutex_);

  Mutex mutex_;
  bool dispatching_ GUARDED_BY(mutex_) = false;
  bool stopReported_ GUARDED_BY(mutex_) = false;
  std::string serviceName_ GUARDED_BY(mutex_);
  std::string notifySocket_ GUARDED_BY(mutex_);
  ServiceControlHandler handler_ GUARDED_BY(mutex_) = nullptr;
  std::uint32_t controlsAccepted_ GUARDED_BY(mutex_) = 0;
  // Written on every status report and when the service thread ends.
  int wakeFd_ GUARDED_BY(mutex_) = -1;
};

bool LinuxServiceControl::Deliverable(std::uint32_t control) const {
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

bool LinuxServiceControl::BeginDispatch(const char* serviceName) {
  MutexLock lock(mutex_);
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
  return true;
}

void LinuxServiceControl::SetWakeFd(int fd) {
  MutexLock lock(mutex_);
  wakeFd_ = fd;
}

void LinuxServiceControl::EndDispatch() {
  MutexLock lock(mutex_);
  handler_ = nullptr;
  dispatching_ = false;
  wakeFd_ = -1;
}

bool LinuxServiceControl::RunDispatcher(const char* serviceName, ServiceMainFunction serviceMain) {
  if (!BeginDispatch(serviceName)) return false;
  const int error = Dispatch(serviceMain);
  EndDispatch();
  errno = error;
  return error == 0;
}

int LinuxServiceControl::Dispatch(ServiceMainFunction serviceMain) {
  // The control signals are blocked before the service thread starts, so that every thread of
  // the service inherits the mask and the signals are read from the channels.
  const DispatchChannels channels;
  if (channels.OpenError() != 0) return channels.OpenError();
  SetWakeFd(channels.WakeFd());

  std::atomic<bool> serviceEnded{false};
  std::thread serviceThread;
  try {
    serviceThread = std::thread([serviceMain, &serviceEnded, wakeFd = channels.WakeFd()] {
      serviceMain();
      serviceEnded.store(true);
      Wake(wakeFd);
    });
  } catch (const std::system_error&) {
    SetWakeFd(-1);
    return EAGAIN;
  }
  DeliverControls(channels, serviceEnded);
  serviceThread.join();
  SetWakeFd(-1);
  // Signals that came while the service was ending are dropped rather than let through with
  // their default action once the mask is restored.
  channels.DropPendingSignals();
  return 0;
}

void LinuxServiceControl::DeliverControls(const DispatchChannels& channels,
                                          const std::atomic<bool>& serviceEnded) {
  std::deque<std::uint32_t> queue;
  for (;;) {
    ServiceControlHandler handler = nullptr;
    std::uint32_t control = 0;
    {
      MutexLock lock(mutex_);
      if (stopReported_ || serviceEnded.load()) return;
      if (!queue.empty() && Deliverable(queue.front())) {
        control = queue.front();
        queue.pop_front();
        handler = handler_;
      }
    }
    if (handler != nullptr) {
      handler(control);
    } else {
      channels.Wait(&queue);  // until a signal comes, a status is reported or the service ends
    }
  }
}

ServiceStatusHandle LinuxServiceControl::RegisterHandler(const char* serviceName,
                                                         ServiceControlHandler handler) {
  MutexLock lock(mutex_);
  if (!dispatching_ || serviceName == nullptr || serviceName_ != serviceName) {
    errno = ENOENT;
    return 0;
  }
  handler_ = handler;
  return kStatusHandle;
}

bool LinuxServiceControl::SetStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  std::string socketName;
  {
    MutexLock lock(mutex_);
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
  static LinuxServiceControl control;
  return control;
}

}  // namespace quarv::platform
