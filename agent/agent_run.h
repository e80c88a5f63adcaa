// The run of the agent: settings, the single-instance guard, the tries and the summary.
#pragma once

#include <string>

namespace quarv::agent {

inline constexpr char kSettingsFileName[] = "QuarvAgent.ini";
inline constexpr char kSettingsSection[] = "AGENT";
// The single-instance lock: one agent at a time into one BASE (on Windows: one at a time).
inline constexpr char kInstanceLockName[] = "ZelQuarvAgent";

struct AgentSettings {
  int port = 0;
  std::string base;
  std::string host;
  std::string password;
  int tries = 1;
  bool checkFileTime = true;
  bool deleteFile = false;
  // RATE: the most KiB per second of the bodies a pass receives; 0 (absent, 0, negative or no
  // number): no limit.
  int rateKib = 0;
  // TLS=Yes: every pass runs over TLS and trusts only the service certificate whose SHA-256
  // fingerprint is FINGERPRINT (as written; checked when the run starts).
  bool tls = false;
  std::string fingerprint;
};

// Reads the AGENT section of the settings file at `path`; missing keys take their defaults.
AgentSettings ReadAgentSettings(const char* path);

// The whole run with the settings file at `settingsPath`. Only the console tells what happened;
// the program's exit status is 0 whatever it was.
void RunAgent(const char* settingsPath);

}  // namespace quarv::agent
