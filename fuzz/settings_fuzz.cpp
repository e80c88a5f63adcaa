// Fuzz target: the settings reader. Each input is the content of a settings file; both programs'
// settings are read from it, and ReadProfileString is checked against its promises for a few
// sections, keys and buffer sizes: the value is NUL-terminated, at most size - 1 long, its
// length is the result, and a missing key gives the fallback.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/agent_run.h"
#include "fuzz/fuzz_support.h"
#include "platform/settings.h"
#include "service/file_service.h"

namespace {

struct Lookup {
  const char* section;
  const char* key;
  std::uint32_t size;
};
constexpr Lookup kLookups[] = {{"SERVER", "PORT", 200}, {"server", "password", 200},
                               {"AGENT", "BASE", 260},  {"Agent", "host", 1},
                               {"AGENT", "TRY", 2},     {"", "", 50}};
constexpr char kFallback[] = "fallback  ";

void Check(const char* path) {
  for (const Lookup& lookup : kLookups) {
    std::vector<char> out(lookup.size + 1, '\x7f');  // one guard byte past the buffer
    const std::uint32_t stored = quarv::platform::ReadProfileString(
        lookup.section, lookup.key, kFallback, out.data(), lookup.size, path);
    if (out[lookup.size] != '\x7f') std::abort();  // wrote past the buffer
    if (stored + 1 > lookup.size) std::abort();    // value longer than size - 1
    if (std::memchr(out.data(), '\0', lookup.size) == nullptr) std::abort();  // no terminator
    if (std::strlen(out.data()) > stored) std::abort();
  }
  // Without the file every key gives its fallback, trailing blanks removed.
  char out[16];
  quarv::platform::ReadProfileString("SERVER", "PORT", kFallback, out, sizeof out, nullptr);
  if (std::strcmp(out, "fallback") != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path =
      (quarv::fuzz::ScratchDirectory("settings-fuzz") / "settings.ini").string();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  Check(path.c_str());
  const quarv::agent::AgentSettings agent = quarv::agent::ReadAgentSettings(path.c_str());
  if (agent.tries < 1) std::abort();
  quarv::ServerSettings server;
  if (quarv::ReadServerSettings(path.c_str(), &server)) {
    if (server.port <= 0 || server.port > quarv::kHighestPort) std::abort();
    if (std::strlen(server.password) > quarv::kPasswordLimit) std::abort();
  }
  return 0;
}
