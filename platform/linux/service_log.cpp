// The service's log on Linux: standard error, with sd-daemon(3) priority prefixes when standard
// error is the journal's stream, with the program's name before each line otherwise.
#include "platform/service_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/thread_annotations.h"

namespace quarv::platform {

namespace {

// JOURNAL_STREAM is "device:inode" of the stream systemd connected; it counts only while
// standard error is still that stream (a child may have inherited the variable). Read once, at
// the first line.
bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");  // NOLINT(concurrency-mt-unsafe)
  struct stat status {};
  if (stream == nullptr || ::fstat(STDERR_FILENO, &status) != 0) return false;
  char* end = nullptr;
  const unsigned long long device = std::strtoull(stream, &end, 10);
  if (end == stream || *end != ':') return false;
  const char* inodeText = end + 1;
  const unsigned long long inode = std::strtoull(inodeText, &end, 10);
  return end != inodeText && *end == '\0' && device == status.st_dev && inode == status.st_ino;
}

}  // namespace

void WriteServiceLog(const char* /*source*/, const char* program, LogLevel level,
                     const std::string& line) {
  // The caller may still want the error of the call that failed before (a refused start).
  const int savedErrno = errno;
  static const bool journal = StderrIsJournal();
  static Mutex mutex;
  std::string text =
      journal ? "<" + std::to_string(static_cast<int>(level)) + ">" : program + std::string(": ");
  text += line;
  text += '\n';
  // One write per line, so that lines of different threads never mix.
  {
    MutexLock lock(mutex);
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
      const ssize_t written = ::write(STDERR_FILENO, data, left);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) break;
      data += written;
      left -= static_cast<std::size_t>(written);
    }
  }
  errno = savedErrno;
}

}  // namespace quarv::platform
