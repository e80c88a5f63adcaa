// The service's log on Windows: the Application event log. Each entry carries its line as its
// one string; the message table built into QuarvSvc.exe (service_log.mc) has one message per
// level whose text is that string, so that Event Viewer shows it.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <mutex>

#include "platform/service_log.h"

namespace quarv::platform {

namespace {

// The message numbers of service_log.mc.
constexpr DWORD kEventError = 1;
constexpr DWORD kEventWarning = 2;
constexpr DWORD kEventInformation = 3;

}  // namespace

void WriteServiceLog(const char* source, const char* /*program*/, LogLevel level,
                     const std::string& line) {
  // The caller may still want the error of the call that failed before (a refused start).
  const DWORD savedError = GetLastError();
  static std::once_flag opened;
  static HANDLE eventSource = nullptr;
  std::call_once(opened, [source] { eventSource = RegisterEventSourceA(nullptr, source); });
  if (eventSource == nullptr) {
    SetLastError(savedError);
    return;
  }
  WORD type = EVENTLOG_INFORMATION_TYPE;
  DWORD id = kEventInformation;
  if (level == LogLevel::Error) {
    type = EVENTLOG_ERROR_TYPE;
    id = kEventError;
  } else if (level == LogLevel::Warning) {
    type = EVENTLOG_WARNING_TYPE;
    id = kEventWarning;
  }
  const char* strings[] = {line.c_str()};
  ReportEventA(eventSource, type, 0, id, nullptr, 1, 0, strings, nullptr);
  SetLastError(savedError);
}

}  // namespace quarv::platform
