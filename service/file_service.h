// FileService: the file service as a ServiceModule. Start reads the settings and starts the file
// server; Pause and Stop stop it; Continue starts it again (reading the settings anew).
#pragma once

#include <cstdint>
#include <string>

#include "common/settings_path.h"
#include "service/file_server.h"
#include "service/service_module.h"

namespace quarv {

inline constexpr char kServiceName[] = "ZelQuarvSvc";
// The name that begins the program's lines on standard error.
inline constexpr char kProgramName[] = "QuarvSvc";
inline constexpr char kSettingsFileName[] = "QuarvSvc.ini";
inline constexpr char kSettingsSection[] = "SERVER";

// The service-specific exit code of a start refused because PASSWORD is empty (missing key, empty
// value, or no settings file): the service status reports ERROR_SERVICE_SPECIFIC_ERROR (1066)
// with this code.
inline constexpr std::uint32_t kNoPasswordExitCode = 1;

// Why the settings refuse a start: one English phrase, and the service-specific exit code where
// the refusal has one (0: none).
struct SettingsRefusal {
  std::string reason;
  std::uint32_t serviceCode = 0;
};

// Reads section SERVER of the settings file at `path`: PORT (default "5999"), BASE (default:
// the platform's), PASSWORD (default empty), ADDRESS (dotted IPv4 or IPv6, "::" for both
// families; default empty: every IPv4 interface), TLS ("Yes" or "No", in any letter case;
// default No) and, with TLS, CERTIFICATE and KEY (default QuarvSvc.crt and QuarvSvc.key; a
// relative path lies in the settings file's directory). False when PORT is not a port number
// (0 or less, or above 65535), PASSWORD is empty or longer than kPasswordLimit characters, TLS is
// another word, or a TLS path does not fit; then `refusal`, when given, says why.
bool ReadServerSettings(const char* path, ServerSettings* settings,
                        SettingsRefusal* refusal = nullptr);

class FileService : public ServiceModule {
 public:
  explicit FileService(FileServer& server) : server_(server) {}

  // Reads the settings from `path` instead of "QuarvSvc.ini" beside the executable.
  void SetSettingsPath(const char* path);

  bool Start() override;
  void Pause() override;
  void Continue() override;
  void Stop() override;
  // Logs why the program cannot run as the service, then ends the process as the base does.
  void ReportError(const char* message, std::uint32_t code) override;

 private:
  // A start that cannot go on: says why in the service's log (standard error on POSIX).
  static void ReportRefusal(const std::string& reason);

  FileServer& server_;
  char settingsPath_[kPathBufferSize] = {};
};

}  // namespace quarv
