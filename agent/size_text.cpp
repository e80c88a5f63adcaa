#include <cstdio>

#include "agent/fetch_agent.h"
#include "platform/file_time.h"

namespace quarv::agent {
namespace {

struct SizeUnit {
  std::uint64_t below;  // the unit applies to sizes below this
  unsigned shift;       // the size is divided by 2^shift
  const char* format;
};

constexpr SizeUnit kUnits[] = {
    {std::uint64_t{1} << 10, 0, "%uB"},
    {std::uint64_t{1} << 20, 10, "%uKB"},
    {std::uint64_t{1} << 30, 20, "%uMB"},
    {std::uint64_t{1} << 40, 30, "%uGB"},
};
constexpr unsigned kTerabyteShift = 40;

}  // namespace

const char* FetchAgent::SizeText(char* buffer, std::size_t size, std::uint32_t low,
                                 std::uint32_t high) {
  const std::uint64_t total = platform::MakeWide(low, high);
  for (const SizeUnit& unit : kUnits) {
    if (total < unit.below) {
      (void)std::snprintf(buffer, size, unit.format, static_cast<unsigned>(total >> unit.shift));
      return buffer;
    }
  }
  (void)std::snprintf(buffer, size, "%uTB", static_cast<unsigned>(total >> kTerabyteShift));
  return buffer;
}

}  // namespace quarv::agent
