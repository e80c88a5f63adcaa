// FileService: the file service as a ServiceModule. Start reads the settings and starts the file
// server; Pause and Stop stop it; Continue starts it again (reading the settings anew).
#pragma once

#include "common/settings_path.h"
#include "service/file_server.h"
#include "service/service_module.h"

namespace quarv {

inline constexpr char kServiceName[] = "ZelQuarvSvc";
inline constexpr char kSettingsFileName[] = "QuarvSvc.ini";
inline constexpr char kSettingsSection[] = "SERVER";
inline constexpr char kDefaultPort[] = "5999";
inline constexpr std::int32_t kHighestPort = 65535;

// Reads section SERVER of the settings file at `path`: PORT (default "5999"), BASE (default:
// the platform's), PASSWORD (default empty), ADDRESS (default empty: every interface). False when
// PORT is not a port number (0 or less, or above 65535) or PASSWORD is longer than
// kPasswordLimit characters.
bool ReadServerSettings(const char* path, ServerSettings* settings);

class FileService : public ServiceModule {
 public:
  explicit FileService(FileServer& server) : server_(server) {}

  // Reads the settings from `path` instead of "QuarvSvc.ini" beside the executable.
  void SetSettingsPath(const char* path);

  bool Start() override;
  void Pause() override;
  void Continue() override;
  void Stop() override;

 private:
  FileServer& server_;
  char settingsPath_[kPathBufferSize] = {};
};

}  // namespace quarv
