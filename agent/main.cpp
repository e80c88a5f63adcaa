// QuarvAgent: fetches the files of a QuarvSvc service into a local directory. It takes no
// arguments; its settings are in QuarvAgent.ini beside the executable.
#include "agent/agent_run.h"
#include "common/settings_path.h"

int main() {
  char settingsPath[quarv::kPathBufferSize];
  // An executable whose directory is too long for the settings path reads no settings at all
  // (none from the current directory): it ends without a run, like one without a port.
  if (!quarv::SettingsPath(settingsPath, sizeof settingsPath, quarv::agent::kSettingsFileName)) {
    return 0;
  }
  quarv::agent::RunAgent(settingsPath);
  return 0;
}
