#include "service/file_service.h"

#include <cstring>

#include "common/wire_number.h"
#include "platform/paths.h"
#include "platform/settings.h"

namespace quarv {

bool ReadServerSettings(const char* path, ServerSettings* settings) {
  char port[kSettingValueSize];
  platform::ReadProfileString(kSettingsSection, "PORT", kDefaultPort, port, sizeof port, path);
  settings->port = ParseInt(port);
  if (settings->port <= 0 || settings->port > kHighestPort) return false;
  platform::ReadProfileString(kSettingsSection, "BASE", platform::DefaultBase(), settings->base,
                              kSettingValueSize, path);
  platform::ReadProfileString(kSettingsSection, "PASSWORD", "", settings->password,
                              sizeof settings->password, path);
  // A longer password does not fit the login text: the service refuses to start.
  if (std::strlen(settings->password) > kPasswordLimit) return false;
  platform::ReadProfileString(kSettingsSection, "ADDRESS", "", settings->address,
                              sizeof settings->address, path);
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
  } else {
    SettingsPath(path, sizeof path, kSettingsFileName);
  }
  ServerSettings settings;
  if (!ReadServerSettings(path, &settings)) return false;
  return server_.Start(settings);
}

void FileService::Pause() {
  Stop();
}

void FileService::Continue() {
  // A service that reports RUNNING serves: the server starts again. When it cannot, the
  // service stops with the error.
  if (!Start()) StopWithError(Control().LastError());
}

void FileService::Stop() {
  server_.Stop();
}

}  // namespace quarv
