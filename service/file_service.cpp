#include "service/file_service.h"

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "common/protocol.h"
#include "common/wire_number.h"
#include "platform/paths.h"
#include "platform/settings.h"
#include "service/audit_log.h"
#include "service/tls_identity.h"

namespace quarv {

namespace {

// Whether two setting values are the same word, letter case aside.
bool SameWord(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(*a) != lower(*b)) return false;
  }
  return *a == *b;
}

// Where the service listens, for its start's log line: ADDRESS (0.0.0.0 when empty, an IPv6
// address in brackets) and the port.
std::string ListeningText(const char* address, std::int32_t port) {
  std::string host = address[0] != '\0' ? address : "0.0.0.0";
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  return host + ":" + std::to_string(port);
}

// Reads `key` (a file) into `out`: an absolute path as it is, a relative one resolved against
// the directory of the settings file at `settingsPath`. False when it does not fit.
bool ReadPathBeside(const char* settingsPath, const char* key, const char* fallback, char* out) {
  char value[kPathBufferSize];
  platform::ReadProfileString(kSettingsSection, key, fallback, value, sizeof value, settingsPath);
  std::string path;
  if (!platform::IsAbsolutePath(value)) {
    char directory[kPathBufferSize];
    std::strncpy(directory, settingsPath, sizeof directory - 1);
    directory[sizeof directory - 1] = '\0';
    CutAfterLastSeparator(directory, platform::PathSeparator(), platform::IsLeadByte);
    path = directory;
  }
  path += value;
  if (path.size() + 1 > kPathBufferSize) return false;
  std::memcpy(out, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

bool ReadServerSettings(const char* path, ServerSettings* settings, SettingsRefusal* refusal) {
  const auto refuse = [&](const std::string& why, std::uint32_t serviceCode) {
    if (refusal != nullptr) *refusal = {why + " in " + path, serviceCode};
    return false;
  };
  char port[kSettingValueSize];
  platform::ReadProfileString(kSettingsSection, "PORT", kDefaultPort, port, sizeof port, path);
  settings->port = ParseInt(port);
  if (settings->port <= 0 || settings->port > kHighestPort) {
    return refuse("PORT \"" + std::string(port) + "\" is not a port number (1 to " +
                      std::to_string(kHighestPort) + ")",
                  0);
  }
  platform::ReadProfileString(kSettingsSection, "BASE", platform::DefaultBase(), settings->base,
                              kSettingValueSize, path);
  platform::ReadProfileString(kSettingsSection, "PASSWORD", "", settings->password,
                              sizeof settings->password, path);
  const std::string problem = PasswordProblem(settings->password);
  if (!problem.empty()) {
    return refuse(problem, settings->password[0] == '\0' ? kNoPasswordExitCode : 0);
  }
  platform::ReadProfileString(kSettingsSection, "ADDRESS", "", settings->address,
                              sizeof settings->address, path);
  char tls[kSettingValueSize];
  platform::ReadProfileString(kSettingsSection, "TLS", "No", tls, sizeof tls, path);
  if (!SameWord(tls, "Yes") && !SameWord(tls, "No")) {
    return refuse("TLS \"" + std::string(tls) + "\" is neither Yes nor No", 0);
  }
  settings->tls = SameWord(tls, "Yes");
  if (settings->tls) {
    if (!ReadPathBeside(path, "CERTIFICATE", kDefaultCertificateName, settings->certificate)) {
      return refuse("CERTIFICATE is too long for a path", 0);
    }
    if (!ReadPathBeside(path, "KEY", kDefaultKeyName, settings->key)) {
      return refuse("KEY is too long for a path", 0);
    }
  }
  return true;
}

void FileService::SetSettingsPath(const char* path) {
  std::strncpy(settingsPath_, path, sizeof settingsPath_ - 1);
  settingsPath_[sizeof settingsPath_ - 1] = '\0';
}

bool FileService::Start() {
  char path[kPathBufferSize];
  if (settingsPath_[0] != '\0') {
    std::memcpy(path, settingsPath_, sizeof path);
  } else if (!SettingsPath(path, sizeof path, kSettingsFileName)) {
    // The settings file beside the executable cannot be named: none other is read instead.
    ReportRefusal("the directory of the executable is too long for the settings path");
    return false;
  }
  ServerSettings settings;
  SettingsRefusal refusal;
  if (!ReadServerSettings(path, &settings, &refusal)) {
    if (refusal.serviceCode != 0) RefuseStart(refusal.serviceCode);
    ReportRefusal(refusal.reason);
    return false;
  }
  std::string reason;
  std::unique_ptr<platform::TlsContext> tls;
  if (settings.tls) {
    tls = LoadTlsIdentity(settings.certificate, settings.key, &reason);
    if (tls == nullptr) {
      RefuseStart(kTlsIdentityExitCode);
      ReportRefusal(reason);
      return false;
    }
  }
  if (!server_.Start(settings, &reason, std::move(tls))) {
    ReportRefusal(reason);
    return false;
  }
  ServiceLog().Write(LogLevel::Notice,
                     "started: listening on " + ListeningText(settings.address, settings.port) +
                         ", BASE " + settings.base + (settings.tls ? ", TLS" : ""));
  ServiceLog().StartTicker();
  return true;
}

void FileService::ReportRefusal(const std::string& reason) {
  ServiceLog().Write(LogLevel::Error, "not started: " + reason);
}

void FileService::ReportError(const char* message, std::uint32_t code) {
  ServiceLog().Write(LogLevel::Error, std::string("not started: the service control manager "
                                                  "did not run it (") +
                                          message + ", error " + std::to_string(code) +
                                          "); it runs only as the service " + kServiceName);
  ServiceModule::ReportError(message, code);
}

void FileService::Pause() {
  server_.Stop();
  ServiceLog().Write(LogLevel::Notice, "paused: the port is closed");
}

void FileService::Continue() {
  // A service that reports RUNNING serves: the server starts again. When it cannot, the
  // service stops with the error.
  ServiceLog().Write(LogLevel::Notice, "continued: reading the settings again");
  if (!Start()) StopWithError(Control().LastError());
}

void FileService::Stop() {
  server_.Stop();
  ServiceLog().StopTicker();  // and the pending summaries
  ServiceLog().Write(LogLevel::Notice, "stopped");
}

}  // namespace quarv
