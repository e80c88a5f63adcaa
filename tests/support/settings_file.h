// The settings files that the tests put beside the programs: QuarvSvc.ini (lines ending in CR LF,
// after a comment) and QuarvAgent.ini (lines ending in LF), so that both line ends are read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/support/test_support.h"

namespace quarv::test {

// QuarvSvc.ini in `dir`: the [SERVER] section with the given lines.
inline void WriteServiceSettings(const std::filesystem::path& dir, const std::string& lines) {
  WriteFile(dir / "QuarvSvc.ini", "; written by a test\r\n[SERVER]\r\n" + lines);
}

// The lines of a service on `address` (127.0.0.1 unless given) at `port`, serving `base`.
inline std::string ServiceSettings(std::uint16_t port, const std::filesystem::path& base,
                                   const std::string& password,
                                   const std::string& address = "127.0.0.1") {
  return "PORT=" + std::to_string(port) + "\r\nADDRESS=" + address + "\r\nBASE=" + base.string() +
         "\r\nPASSWORD=" + password + "\r\n";
}

// QuarvAgent.ini in `dir`: the [AGENT] section with the given lines.
inline void WriteAgentSettings(const std::filesystem::path& dir, const std::string& lines) {
  WriteFile(dir / "QuarvAgent.ini", "[AGENT]\n" + lines);
}

// The lines of an agent that fetches into `base` from a service on 127.0.0.1 at `port`.
inline std::string AgentSettings(std::uint16_t port, const std::string& password,
                                 const std::filesystem::path& base) {
  return "HOST=127.0.0.1\nPORT=" + std::to_string(port) + "\nPASSWORD=" + password +
         "\nBASE=" + base.string() + "\n";
}

}  // namespace quarv::test
