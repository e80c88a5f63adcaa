#include <cstdio>

#include "agent/fetch_agent.h"
#include "platform/file_time.h"

namespace quarv::agent {
namespace {

struct SizeUnit {
  std::uint64_t below;  // the unit applies to sizes below this
  unsigned shift;       // the size is divided by 2^shift
  const char* unit;
};

constexpr SizeUnit kUnits[] = {
    {std::uint64_t{1} << 10, 0, "B"},
    {std::uint64_t{1} << 20, 10, "KB"},
    {std::uint64_t{1} << 30, 20, "MB"},
    {std::uint64_t{1} << 40, 30, "GB"},
};
constexpr SizeUnit kTerabytes = {0, 40, "TB"};  // every larger size

const char* WriteSize(char* buffer, std::size_t size, std::uint64_t total, const SizeUnit& unit) {
  (void)std::snprintf(buffer, size, "%u%s", static_cast<unsigned>(total >> unit.shift), unit.unit);
  return buffer;
}

}  // namespace

const char* FetchAgent::SizeText(char* buffer, std::size_t size, std::uint32_t low,
                                 std::uint32_t high) {
  const std::uint64_t total = platform::MakeWide(low, high);
  for (const SizeUnit& unit : kUnits) {
    if (total < unit.below) return WriteSize(buffer, size, total, unit);
  }
  return WriteSize(buffer, size, total, kTerabytes);
}

}  // namespace quarv::agent
