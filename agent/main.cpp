// QuarvAgent: fetches the files of a QuarvSvc service into a local directory. It takes no
// arguments; its settings are in QuarvAgent.ini beside the executable.
#include "agent/agent_run.h"
#include "common/settings_path.h"

int main() {
  char settingsPath[quarv::kPathBufferSize];
  quarv::SettingsPath(settingsPath, sizeof settingsPath, quarv::agent::kSettingsFileName);
  return quarv::agent::RunAgent(settingsPath);
}
