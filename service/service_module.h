// ServiceModule: a small service frame over the platform's service control. A derived class
// fills the five virtual operations; the frame runs the dispatcher, reports the start-up, answers
// the control codes and reports the end.
//
// Reported states: START_PENDING (check points 1, 2, 3) -> RUNNING. From RUNNING: PAUSE ->
// PAUSE_PENDING -> PAUSED; from PAUSED: CONTINUE -> CONTINUE_PENDING -> RUNNING. From RUNNING or
// PAUSED: STOP -> STOP_PENDING -> STOPPED (exit code 0). A failed start goes from START_PENDING
// straight to STOPPED with an error code: the last system error (1610 when there is none), or,
// when the Start operation named its refusal with RefuseStart, ERROR_SERVICE_SPECIFIC_ERROR
// (1066) and that service-specific code. INTERROGATE, and a PAUSE or CONTINUE that does not
// apply, report the present state (RUNNING, PAUSED, or STOP_PENDING once stopping).
//
// Threads: Run blocks the main thread in the dispatcher, which calls ControlHandler (and so
// DoPause, DoContinue, DoStop) on its own thread; ServiceMain runs on the service thread the
// dispatcher starts (DoStart, then the wait for the stop event). The class-level state they share
// is atomic, and the stop event keeps its flags under a mutex of its own (service_module.cpp).
#pragma once

#include <cstdint>

#include "platform/service_control.h"

namespace quarv {

// The exit code of a start that failed without a system error to name (settings refused, say):
// ERROR_BAD_CONFIGURATION. A failed start never reports 0.
inline constexpr std::uint32_t kErrorBadConfiguration = 1610;
inline constexpr std::uint32_t kStartPendingHint = 5000;
inline constexpr std::uint32_t kEventCreatedHint = 1000;
inline constexpr std::uint32_t kStopPendingHint = 5000;
inline constexpr std::uint32_t kPauseContinueHint = 1000;

class ServiceModule {
 public:
  ServiceModule() = default;
  virtual ~ServiceModule() = default;
  ServiceModule(const ServiceModule&) = delete;
  ServiceModule& operator=(const ServiceModule&) = delete;

  // The five operations a service fills; the base does nothing (Start: true), and its
  // ReportError ends the process with `code`.
  virtual bool Start();
  virtual void Pause();
  virtual void Continue();
  virtual void Stop();
  virtual void ReportError(const char* message, std::uint32_t code);

  // Makes `module` the process's one service and starts the class-level state (status handle,
  // stop event, running and paused flags) afresh.
  static void SetInstance(ServiceModule* module);
  // The service control to talk to: the system's (nullptr) or a test's own.
  static void SetControl(platform::ServiceControl* control);
  static platform::ServiceControl& Control();

  // Runs the dispatcher with this service; true once it has returned (the service stopped).
  // When the dispatcher cannot run, ReportError("In StartServiceCtrlDispatcher", code).
  bool Run(const char* serviceName);

  // The service's main function, on the thread the dispatcher starts.
  static void ServiceMain();
  // The control handler, on the dispatcher's thread.
  static void ControlHandler(std::uint32_t control);
  // One status report; a refused report stops the service (DoStop) and gives false.
  static bool ReportStatus(std::uint32_t state, std::uint32_t win32ExitCode,
                           std::uint32_t serviceSpecificExitCode, std::uint32_t checkPoint,
                           std::uint32_t waitHint);
  // Closes the stop event and reports SERVICE_STOPPED with `win32ExitCode`, or with
  // ERROR_SERVICE_SPECIFIC_ERROR and `serviceSpecificExitCode` when that is not 0.
  static void EndService(std::uint32_t win32ExitCode, std::uint32_t serviceSpecificExitCode = 0);

  // The only callers of the operations 1 to 4; they keep the flags and the stop event.
  bool DoStart();
  void DoPause();
  void DoContinue();
  void DoStop();

 protected:
  // For a Pause or Continue operation that finds that the service cannot go on (a Continue that
  // cannot start its work again): once the operation has returned, the control handler reports
  // SERVICE_STOP_PENDING and stops the service, whose SERVICE_STOPPED report carries `code`.
  void StopWithError(std::uint32_t code);
  // For a Start operation about to return false for a reason of its own (not a system error):
  // the SERVICE_STOPPED report that follows carries ERROR_SERVICE_SPECIFIC_ERROR and `code`
  // (not 0) instead of the last system error. Also when the Start runs for a CONTINUE.
  void RefuseStart(std::uint32_t code);

 private:
  const char* serviceName_ = nullptr;
};

}  // namespace quarv
