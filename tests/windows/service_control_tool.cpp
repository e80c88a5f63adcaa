// A test helper of the Windows system test: sends the controls that `sc` cannot send under Wine
// (pause, continue, interrogate) through the service control manager, and starts a program the
// way a user would, to show its full exit code.
//
//   service_control_tool pause|continue|interrogate SERVICE
//       sends the control, waits (at most ten seconds) until the service's state is no longer a
//       pending one and prints "STATE <number> <name>"; exit code 0, or 1 with "ERROR ..." when
//       the control manager refuses, 3 when the state stays pending.
//   service_control_tool wait-exit SERVICE
//       opens the service's process, prints "PROCESS <id>", waits (at most 60 seconds) until it
//       ends and prints "EXIT_CODE <number>"; exit code 0, or 3 when it did not end.
//   service_control_tool attributes PATH
//       prints "ATTRIBUTES <hexadecimal>", the file's attributes as GetFileAttributesA gives them.
//   service_control_tool hold-open PATH
//       opens the file for writing, letting others only read it, as a program that is still
//       writing it would; prints "HELD" and keeps it open until it is ended (at most 60 seconds).
//   service_control_tool run PROGRAM
//       starts PROGRAM with this tool's standard handles, waits (at most 60 seconds) and prints
//       "EXIT_CODE <number>"; exit code 0, or 3 when the program had to be ended.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr DWORD kPollInterval = 50;  // milliseconds
constexpr int kPollCount = 200;      // ten seconds in all
constexpr DWORD kProgramTimeout = 60000;

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    case SERVICE_CONTINUE_PENDING:
      return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
      return "PAUSE_PENDING";
    case SERVICE_PAUSED:
      return "PAUSED";
    default:
      return "UNKNOWN";
  }
}

bool IsPending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
         state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
}

int Fail(const char* what) {
  std::printf("ERROR %s %lu\n", what, GetLastError());
  return 1;
}

int SendControl(const char* serviceName, DWORD control) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Fail("OpenSCManagerA");
  SC_HANDLE service = OpenServiceA(
      manager, serviceName, SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE | SERVICE_QUERY_STATUS);
  if (service == nullptr) {
    const int result = Fail("OpenServiceA");
    CloseServiceHandle(manager);
    return result;
  }
  int result = 0;
  SERVICE_STATUS status{};
  if (!ControlService(service, control, &status)) {
    result = Fail("ControlService");
  } else {
    int polls = 0;
    while (IsPending(status.dwCurrentState) && polls < kPollCount) {
      Sleep(kPollInterval);
      ++polls;
      if (!QueryServiceStatus(service, &status)) {
        result = Fail("QueryServiceStatus");
        break;
      }
    }
    if (result == 0) {
      std::printf("STATE %lu %s\n", status.dwCurrentState, StateName(status.dwCurrentState));
      if (IsPending(status.dwCurrentState)) result = 3;
    }
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

int WaitForExit(const char* serviceName) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Fail("OpenSCManagerA");
  SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_QUERY_STATUS);
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  const bool queried = service != nullptr && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                                                  reinterpret_cast<BYTE*>(&status),
                                                                  sizeof status, &needed);
  const int queryResult = queried ? 0 : Fail("QueryServiceStatusEx");
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (queryResult != 0) return queryResult;
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, status.dwProcessId);
  if (process == nullptr) return Fail("OpenProcess");
  std::printf("PROCESS %lu\n", status.dwProcessId);
  std::fflush(stdout);
  int result = 0;
  DWORD code = 0;
  if (WaitForSingleObject(process, kProgramTimeout) != WAIT_OBJECT_0) {
    std::printf("STILL_RUNNING\n");
    result = 3;
  } else if (!GetExitCodeProcess(process, &code)) {
    result = Fail("GetExitCodeProcess");
  } else {
    std::printf("EXIT_CODE %lu\n", code);
  }
  CloseHandle(process);
  return result;
}

int ShowAttributes(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return Fail("GetFileAttributesA");
  std::printf("ATTRIBUTES %lx\n", attributes);
  return 0;
}

int HoldOpen(const char* path) {
  const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail("CreateFileA");
  std::printf("HELD\n");
  std::fflush(stdout);
  Sleep(kProgramTimeout);
  CloseHandle(file);
  return 0;
}

int RunProgram(const char* program) {
  std::string commandLine = std::string("\"") + program + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  // The program's output, if any, goes where this tool's goes.
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return Fail("CreateProcessA");
  }
  int result = 0;
  if (WaitForSingleObject(process.hProcess, kProgramTimeout) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, kProgramTimeout);
    result = 3;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process.hProcess, &code)) result = Fail("GetExitCodeProcess");
  if (result != 1) std::printf("EXIT_CODE %lu\n", code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3) {
    const std::string verb = argv[1];
    if (verb == "pause") return SendControl(argv[2], SERVICE_CONTROL_PAUSE);
    if (verb == "continue") return SendControl(argv[2], SERVICE_CONTROL_CONTINUE);
    if (verb == "interrogate") return SendControl(argv[2], SERVICE_CONTROL_INTERROGATE);
    if (verb == "wait-exit") return WaitForExit(argv[2]);
    if (verb == "attributes") return ShowAttributes(argv[2]);
    if (verb == "hold-open") return HoldOpen(argv[2]);
    if (verb == "run") return RunProgram(argv[2]);
  }
  std::fprintf(stderr,
               "usage: %s pause|continue|interrogate|wait-exit SERVICE | attributes|hold-open PATH "
               "| run PROGRAM\n",
               argv[0]);
  return 2;
}
