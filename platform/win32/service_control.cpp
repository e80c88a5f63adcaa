// Service control through the Windows service control manager.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>

#include "platform/service_control.h"

namespace quarv::platform {

namespace {

// The dispatcher and the control manager call plain functions of their own signatures; these
// trampolines forward to the functions the service host handed over.
std::atomic<ServiceMainFunction> serviceMainFunction{nullptr};
std::atomic<ServiceControlHandler> controlHandler{nullptr};

void WINAPI ServiceMainTrampoline(DWORD /*argc*/, LPSTR* /*argv*/) {
  const ServiceMainFunction function = serviceMainFunction.load();
  if (function != nullptr) function();
}

void WINAPI ControlHandlerTrampoline(DWORD control) {
  const ServiceControlHandler handler = controlHandler.load();
  if (handler != nullptr) handler(control);
}

class Win32ServiceControl final : public ServiceControl {
 public:
  bool RunDispatcher(const char* serviceName, ServiceMainFunction serviceMain) override {
    serviceMainFunction.store(serviceMain);
    // The table's name field is not const in the system's declaration; it is only read.
    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<char*>(serviceName != nullptr ? serviceName : ""), ServiceMainTrampoline},
        {nullptr, nullptr},
    };
    return StartServiceCtrlDispatcherA(table) != FALSE;
  }

  ServiceStatusHandle RegisterHandler(const char* serviceName,
                                      ServiceControlHandler handler) override {
    controlHandler.store(handler);
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerA(serviceName, ControlHandlerTrampoline);
    return reinterpret_cast<ServiceStatusHandle>(handle);
  }

  bool SetStatus(ServiceStatusHandle handle, const ServiceStatus& status) override {
    SERVICE_STATUS record;
    record.dwServiceType = status.serviceType;
    record.dwCurrentState = status.currentState;
    record.dwControlsAccepted = status.controlsAccepted;
    record.dwWin32ExitCode = status.win32ExitCode;
    record.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    record.dwCheckPoint = status.checkPoint;
    record.dwWaitHint = status.waitHint;
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &record) != FALSE;
  }

  std::uint32_t LastError() override { return GetLastError(); }

  [[noreturn]] void ExitProcess(std::uint32_t code) override { ::ExitProcess(code); }
};

}  // namespace

ServiceControl& SystemServiceControl() {
  static Win32ServiceControl control;
  return control;
}

}  // namespace quarv::platform
