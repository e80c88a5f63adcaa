// What an open file holds on Linux, and the error codes of the file operations (internal to the
// Linux side).
#pragma once

#include <cstdint>
#include <utility>

#include "platform/file.h"

namespace quarv::platform {

// A file's identity in the table of files being sent: (st_dev, st_ino).
using FileKey = std::pair<std::uint64_t, std::uint64_t>;

struct File::Native {
  explicit Native(int descriptor) : fd(descriptor) {}
  int fd;
  bool sending = false;  // taken into the table of files being sent, under `key`
  FileKey key{0, 0};
};

namespace native {

// errno as the Windows code the file commands name: ENOENT and ENOTDIR are a directory on the
// way that is missing (kErrorPathNotFound; a caller that can tell a missing file itself does so
// first); EACCES, EPERM, EISDIR and EROFS are kErrorAccessDenied. Any other error keeps its own
// number and the system's text for it.
SystemError ErrorFromErrno(int error);

}  // namespace native
}  // namespace quarv::platform
