#include "service/service_module.h"

#include <atomic>
#include <condition_variable>

#include "common/thread_annotations.h"

namespace quarv {

namespace {

constexpr std::uint32_t kAllControls =
    platform::kAcceptStop | platform::kAcceptPauseContinue | platform::kAcceptShutdown;

// The stop event: manual reset, so that a stop that comes before the service thread waits for
// it still ends the service. The service thread creates it, waits on it and closes it; Set comes
// from the dispatcher's thread (a stop control).
class StopEvent {
 public:
  void Create() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    exists_ = true;
    set_ = false;
  }
  void Set() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    if (!exists_) return;
    set_ = true;
    changed_.notify_all();
  }
  void Wait() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    lock.Wait(changed_, [this]() REQUIRES(mutex_) { return set_ || !exists_; });
  }
  void Close() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    exists_ = false;
    set_ = false;
    changed_.notify_all();
  }

 private:
  Mutex mutex_;
  std::condition_variable changed_;
  bool exists_ GUARDED_BY(mutex_) = false;
  bool set_ GUARDED_BY(mutex_) = false;
};

// The class-level state of the one service of the process.
struct ModuleState {
  std::atomic<ServiceModule*> instance{nullptr};
  std::atomic<platform::ServiceControl*> control{nullptr};
  std::atomic<platform::ServiceStatusHandle> statusHandle{0};
  std::atomic<std::int32_t> running{0};
  std::atomic<std::int32_t> paused{0};
  // The exit code SERVICE_STOPPED carries after a stop: 0 unless the service stopped itself on
  // an error.
  std::atomic<std::uint32_t> stopExitCode{0};
  std::atomic<std::uint32_t> stopServiceCode{0};
  // Set by RefuseStart: the service-specific code of the start that is failing.
  std::atomic<std::uint32_t> refusalCode{0};
  // Set by StopWithError during a control's operation: the handler stops the service next.
  std::atomic<bool> stopRequested{false};
  StopEvent stopEvent;
};

ModuleState& State() {
  static ModuleState state;
  return state;
}

std::uint32_t ErrorCodeOrDefault(std::uint32_t code) {
  return code != 0 ? code : kErrorBadConfiguration;
}

// The state that answers an interrogation, or a control that does not apply now.
std::uint32_t PresentState() {
  ModuleState& state = State();
  if (state.running.load() == 0) return platform::kServiceStopPending;
  return state.paused.load() != 0 ? platform::kServicePaused : platform::kServiceRunning;
}

// After the operation of a control: a service that found it cannot go on is stopped, as by a
// STOP control. True when that happened.
bool StopIfRequested(ServiceModule* module) {
  if (!State().stopRequested.exchange(false)) return false;
  ServiceModule::ReportStatus(platform::kServiceStopPending, 0, 0, 1, kStopPendingHint);
  module->DoStop();
  return true;
}

// Ends the start-up after a failed step with the error code of that moment, or the
// service-specific code the Start operation gave.
void EndFailedStart() {
  const std::uint32_t serviceCode = State().refusalCode.exchange(0);
  if (serviceCode != 0) return ServiceModule::EndService(0, serviceCode);
  ServiceModule::EndService(ErrorCodeOrDefault(ServiceModule::Control().LastError()));
}

}  // namespace

bool ServiceModule::Start() {
  return true;
}
void ServiceModule::Pause() {}
void ServiceModule::Continue() {}
void ServiceModule::Stop() {}
void ServiceModule::ReportError(const char* /*message*/, std::uint32_t code) {
  Control().ExitProcess(code);
}

void ServiceModule::SetInstance(ServiceModule* module) {
  ModuleState& state = State();
  state.instance.store(module);
  state.statusHandle.store(0);
  state.running.store(0);
  state.paused.store(0);
  state.stopExitCode.store(0);
  state.stopServiceCode.store(0);
  state.refusalCode.store(0);
  state.stopRequested.store(false);
  state.stopEvent.Close();
}

void ServiceModule::SetControl(platform::ServiceControl* control) {
  State().control.store(control);
}

platform::ServiceControl& ServiceModule::Control() {
  platform::ServiceControl* control = State().control.load();
  return control != nullptr ? *control : platform::SystemServiceControl();
}

bool ServiceModule::Run(const char* serviceName) {
  serviceName_ = serviceName;
  if (Control().RunDispatcher(serviceName, &ServiceModule::ServiceMain)) return true;
  const std::uint32_t code = Control().LastError();
  ServiceModule* module = State().instance.load();
  (module != nullptr ? module : this)->ReportError("In StartServiceCtrlDispatcher", code);
  return false;
}

void ServiceModule::ServiceMain() {
  ModuleState& state = State();
  ServiceModule* module = state.instance.load();
  platform::ServiceControl& control = Control();
  const platform::ServiceStatusHandle handle =
      control.RegisterHandler(module->serviceName_, &ServiceModule::ControlHandler);
  if (handle == 0) {
    EndService(control.LastError());  // no handle: nothing can be reported
    return;
  }
  state.statusHandle.store(handle);

  if (!ReportStatus(platform::kServiceStartPending, 0, 0, 1, kStartPendingHint)) {
    return EndFailedStart();
  }
  state.stopEvent.Create();
  if (!ReportStatus(platform::kServiceStartPending, 0, 0, 2, kEventCreatedHint) ||
      !ReportStatus(platform::kServiceStartPending, 0, 0, 3, kStartPendingHint) ||
      !module->DoStart() || !ReportStatus(platform::kServiceRunning, 0, 0, 0, 0)) {
    return EndFailedStart();
  }
  state.stopEvent.Wait();
  EndService(state.stopExitCode.load(), state.stopServiceCode.load());
}

void ServiceModule::EndService(std::uint32_t win32ExitCode, std::uint32_t serviceSpecificExitCode) {
  ModuleState& state = State();
  state.stopEvent.Close();
  if (state.statusHandle.load() != 0) {
    ReportStatus(platform::kServiceStopped, win32ExitCode, serviceSpecificExitCode, 0, 0);
  }
}

bool ServiceModule::ReportStatus(std::uint32_t state, std::uint32_t win32ExitCode,
                                 std::uint32_t serviceSpecificExitCode, std::uint32_t checkPoint,
                                 std::uint32_t waitHint) {
  platform::ServiceStatus status;
  status.serviceType = platform::kServiceWin32OwnProcess;
  status.currentState = state;
  status.controlsAccepted = state == platform::kServiceStartPending ? 0 : kAllControls;
  status.win32ExitCode =
      serviceSpecificExitCode != 0 ? platform::kErrorServiceSpecific : win32ExitCode;
  status.serviceSpecificExitCode = serviceSpecificExitCode;
  status.checkPoint = checkPoint;
  status.waitHint = waitHint;
  if (Control().SetStatus(State().statusHandle.load(), status)) return true;
  // A service that cannot report its state stops itself.
  ServiceModule* module = State().instance.load();
  if (module != nullptr) module->DoStop();
  return false;
}

void ServiceModule::ControlHandler(std::uint32_t control) {
  ModuleState& state = State();
  ServiceModule* module = state.instance.load();
  const bool running = state.running.load() != 0;
  const bool paused = state.paused.load() != 0;
  switch (control) {
    case platform::kControlStop:
      ReportStatus(platform::kServiceStopPending, 0, 0, 1, kStopPendingHint);
      module->DoStop();
      return;  // SERVICE_STOPPED follows from ServiceMain, woken by the stop event
    case platform::kControlPause:
      if (running && !paused) {
        ReportStatus(platform::kServicePausePending, 0, 0, 1, kPauseContinueHint);
        module->DoPause();
        if (!StopIfRequested(module)) ReportStatus(platform::kServicePaused, 0, 0, 0, 0);
        return;
      }
      break;
    case platform::kControlContinue:
      if (running && paused) {
        ReportStatus(platform::kServiceContinuePending, 0, 0, 1, kPauseContinueHint);
        module->DoContinue();
        // A service that could not take up its work again stops rather than claim to run.
        if (!StopIfRequested(module)) ReportStatus(platform::kServiceRunning, 0, 0, 0, 0);
        return;
      }
      break;
    case platform::kControlShutdown:
      return;
    default:
      break;
  }
  ReportStatus(PresentState(), 0, 0, 0, 0);
}

bool ServiceModule::DoStart() {
  State().refusalCode.store(0);
  State().running.store(1);
  return Start();
}

void ServiceModule::DoPause() {
  Pause();
  State().paused.store(1);
}

void ServiceModule::DoContinue() {
  State().refusalCode.store(0);
  Continue();
  State().paused.store(0);
}

void ServiceModule::DoStop() {
  Stop();
  State().stopEvent.Set();
  State().running.store(0);
}

void ServiceModule::StopWithError(std::uint32_t code) {
  State().stopExitCode.store(ErrorCodeOrDefault(code));
  State().stopServiceCode.store(State().refusalCode.exchange(0));
  State().stopRequested.store(true);
}

void ServiceModule::RefuseStart(std::uint32_t code) {
  State().refusalCode.store(code);
}

}  // namespace quarv
