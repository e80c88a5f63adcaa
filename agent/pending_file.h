// A listed file that the pass is to fetch, with what the list said of it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_time.h"

namespace quarv::agent {

struct PendingFile {
  // The name as listed; released (emptied) once the pass takes the file up.
  std::string name;
  std::uint64_t size = 0;
  platform::FileTime time = 0;
};

}  // namespace quarv::agent
