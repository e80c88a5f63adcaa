// Service control: the Windows service control manager, or on Linux a dispatcher of our own in
// which signals are the control codes (SIGTERM and SIGINT: stop; SIGUSR1: pause; SIGUSR2:
// continue; SIGHUP: interrogate) and status reports are passed on to systemd when it runs us.
#pragma once

#include <cstdint>

namespace quarv::platform {

inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;

inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceContinuePending = 5;
inline constexpr std::uint32_t kServicePausePending = 6;
inline constexpr std::uint32_t kServicePaused = 7;

inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlPause = 2;
inline constexpr std::uint32_t kControlContinue = 3;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;

inline constexpr std::uint32_t kAcceptStop = 1;
inline constexpr std::uint32_t kAcceptPauseContinue = 2;
inline constexpr std::uint32_t kAcceptShutdown = 4;

inline constexpr std::uint32_t kErrorServiceSpecific = 1066;
inline constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;

struct ServiceStatus {
  std::uint32_t serviceType = kServiceWin32OwnProcess;
  std::uint32_t currentState = 0;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
};

using ServiceStatusHandle = std::uintptr_t;  // 0: none
using ServiceMainFunction = void (*)();
using ServiceControlHandler = void (*)(std::uint32_t control);

// The operations the service host needs. The system's own is SystemServiceControl(); tests
// supply a fake.
class ServiceControl {
 public:
  virtual ~ServiceControl() = default;
  // StartServiceCtrlDispatcherA: runs `serviceMain` on a thread of its own, delivers controls
  // to the registered handler on the calling thread, returns true once the service has
  // reported SERVICE_STOPPED; false at once when the process cannot act as the service.
  virtual bool RunDispatcher(const char* serviceName, ServiceMainFunction serviceMain) = 0;
  // RegisterServiceCtrlHandlerA: 0 on failure.
  virtual ServiceStatusHandle RegisterHandler(const char* serviceName,
                                              ServiceControlHandler handler) = 0;
  // SetServiceStatus: false when the report is refused.
  virtual bool SetStatus(ServiceStatusHandle handle, const ServiceStatus& status) = 0;
  // GetLastError: the code of the last failed call.
  virtual std::uint32_t LastError() = 0;
  // ExitProcess.
  [[noreturn]] virtual void ExitProcess(std::uint32_t code) = 0;
};

ServiceControl& SystemServiceControl();

}  // namespace quarv::platform
