// Conversions between the system's times and FILETIME values (internal to the Linux side).
#pragma once

#include <ctime>

#include "platform/file_time.h"

namespace quarv::platform::native {

inline FileTime ToFileTime(const struct timespec& ts) {
  const std::int64_t units = (static_cast<std::int64_t>(ts.tv_sec) + kFileTimeEpochOffsetSeconds) *
                                 kFileTimeUnitsPerSecond +
                             ts.tv_nsec / 100;
  return units < 0 ? 0 : static_cast<FileTime>(units);
}

inline struct timespec FromFileTime(FileTime time) {
  const std::int64_t units = static_cast<std::int64_t>(time);
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(units / kFileTimeUnitsPerSecond - kFileTimeEpochOffsetSeconds);
  ts.tv_nsec = static_cast<long>((units % kFileTimeUnitsPerSecond) * 100);
  return ts;
}

}  // namespace quarv::platform::native
