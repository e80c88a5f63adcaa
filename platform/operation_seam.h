// A test seam in the platform layer: a test may install an observer that is told of every file
// sync (File::Flush), file-system sync (FlushFileSystem), directory sync (FlushDirectoryEntry),
// rename (RenameNoReplace) and socket send (SendSome, SendSomeNow), in the order they happen, and
// that may make any of them fail as the system would. Tests use it to see in which order the
// agent makes its files durable, renames them and sends its requests, and what it does when a
// sync fails.
//
// The programs never install an observer. With none installed, each of these operations costs
// one relaxed atomic load more and behaves exactly as without the seam.
#pragma once

#include <atomic>
#include <cstddef>

namespace quarv::platform {

enum class Operation {
  FileSync,        // File::Flush; no path (the file is known by its handle only)
  FileSystemSync,  // FlushFileSystem: `path` is the directory whose file system is synced
  DirectorySync,   // FlushDirectoryEntry: `path` is the entry whose directory is synced
  Rename,          // RenameNoReplace: `path` is the old name, `other` the new one
  Send,            // SendSome, SendSomeNow: `data` and `length`, the bytes handed to the call
};

// One operation about to be carried out. The pointers are valid during the call only.
struct OperationEvent {
  Operation operation = Operation::FileSync;
  const char* path = nullptr;
  const char* other = nullptr;
  const char* data = nullptr;
  std::size_t length = 0;
};

// Test seam: what a test installs.
class OperationObserver {
 public:
  OperationObserver() = default;
  OperationObserver(const OperationObserver&) = delete;
  OperationObserver& operator=(const OperationObserver&) = delete;
  virtual ~OperationObserver() = default;

  // Told just before the operation is carried out, on the thread that carries it out (so it may
  // be called from several threads at once). False makes the operation fail without being
  // carried out: it reports the failure the system would (a sync or a rename false, as for an
  // I/O error; a send -1, as for a broken connection).
  virtual bool Proceed(const OperationEvent& event) = 0;
};

// Test seam: installs `observer` (nullptr removes it). Install it before the threads whose
// operations it is to see start, and remove it once they are done; it must outlive its
// installation. The programs never call this.
void InstallOperationObserver(OperationObserver* observer);

namespace seam {

// The installed observer, if any; only InstallOperationObserver stores it.
extern std::atomic<OperationObserver*> installedObserver;

// Tells the observer; false when it makes the operation fail.
bool Tell(OperationObserver* observer, const OperationEvent& event);

}  // namespace seam

// Called by each system's side just before the operation: true when it may go ahead (always,
// without an observer).
inline bool OperationMayProceed(Operation operation, const char* path = nullptr,
                                const char* other = nullptr) {
  OperationObserver* const observer = seam::installedObserver.load(std::memory_order_relaxed);
  return observer == nullptr ||
         seam::Tell(observer, OperationEvent{operation, path, other, nullptr, 0});
}
inline bool SendMayProceed(const void* data, int length) {
  OperationObserver* const observer = seam::installedObserver.load(std::memory_order_relaxed);
  return observer == nullptr ||
         seam::Tell(observer, OperationEvent{Operation::Send, nullptr, nullptr,
                                             static_cast<const char*>(data),
                                             length > 0 ? static_cast<std::size_t>(length) : 0});
}

}  // namespace quarv::platform
