// Console output on Linux: the messages are UTF-8 already. To a terminal every piece of output is
// written at once, so that it shows at once (progress marks included) and keeps its order with
// respect to anything else the process writes there. To a file or a pipe the output is gathered
// and written in large pieces: when the buffer is full, at ConsoleFlush and at the end of the
// process. The order of the bytes is the same either way.
#include "platform/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/thread_annotations.h"

namespace quarv::platform {
namespace {

constexpr std::size_t kConsoleBufferSize = 64 * 1024;

void WriteOut(const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere to report it: the console is gone
    }
    if (written == 0) return;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
}

// The process's one buffer; any thread may write or flush (the end of the process flushes it).
class ConsoleBuffer {
 public:
  ConsoleBuffer() : immediate_(::isatty(STDOUT_FILENO) == 1) {}
  ~ConsoleBuffer() { Flush(); }
  ConsoleBuffer(const ConsoleBuffer&) = delete;
  ConsoleBuffer& operator=(const ConsoleBuffer&) = delete;

  void Write(const char* bytes, std::size_t length) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    if (immediate_) {
      WriteOut(bytes, length);
      return;
    }
    if (used_ + length > kConsoleBufferSize) {
      FlushLocked();
      if (length > kConsoleBufferSize) {
        WriteOut(bytes, length);
        return;
      }
    }
    std::memcpy(buffer_ + used_, bytes, length);
    used_ += length;
  }

  void Flush() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    FlushLocked();
  }

 private:
  void FlushLocked() REQUIRES(mutex_) {
    WriteOut(buffer_, used_);
    used_ = 0;
  }

  Mutex mutex_;
  const bool immediate_;
  std::size_t used_ GUARDED_BY(mutex_) = 0;
  char buffer_[kConsoleBufferSize] GUARDED_BY(mutex_);
};

// Made on first use and flushed when the process ends normally (return from main, exit).
ConsoleBuffer& Console() {
  static ConsoleBuffer console;
  return console;
}

}  // namespace

std::string ToConsoleBytes(const char* utf8) {
  return utf8 == nullptr ? std::string() : utf8;
}

void ConsoleWrite(const char* bytes, std::size_t length) {
  Console().Write(bytes, length);
}

void ConsoleFlush() {
  Console().Flush();
}

}  // namespace quarv::platform
