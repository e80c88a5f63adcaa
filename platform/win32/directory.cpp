// Directory enumeration: FindFirstFileA / FindNextFileA on the base directory's list pattern. A
// link (a reparse point) counts as what it points to only while that lies beneath the base.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "platform/directory.h"
#include "platform/paths.h"
#include "platform/win32/beneath.h"

namespace quarv::platform {

struct DirectoryReader::Native {
  explicit Native(const BaseDirectory& directory) : base(directory) {}
  ~Native() {
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
  }
  Native(const Native&) = delete;
  Native& operator=(const Native&) = delete;
  HANDLE search = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA data;
  bool havePending = false;   // `data` holds the first entry, not yet handed out
  const BaseDirectory& base;  // links are resolved beneath it
};

namespace {

// A link entry of the base directory: it takes its target's kind, size and time while that lies
// beneath the base, and is neither a directory nor a file otherwise.
void ResolveLink(const BaseDirectory& base, DirectoryEntry* entry) {
  const std::string path = base.Prefix() + entry->name;
  const win32::UniqueHandle target(CreateFileA(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!target.valid() || !GetFileInformationByHandle(target.get(), &info) ||
      !win32::LiesBeneath(target.get(), reinterpret_cast<HANDLE>(base.Handle()))) {
    entry->isDirectory = false;
    entry->isRegular = false;
    return;
  }
  entry->isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry->isRegular = !entry->isDirectory && GetFileType(target.get()) == FILE_TYPE_DISK;
  entry->size = MakeWide(info.nFileSizeLow, info.nFileSizeHigh);
  entry->lastWrite =
      MakeWide(info.ftLastWriteTime.dwLowDateTime, info.ftLastWriteTime.dwHighDateTime);
}

void FillEntry(const WIN32_FIND_DATAA& data, DirectoryEntry* entry) {
  entry->name = data.cFileName;
  entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry->isRegular = !entry->isDirectory && (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
  entry->size = MakeWide(data.nFileSizeLow, data.nFileSizeHigh);
  entry->lastWrite =
      MakeWide(data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime);
}

}  // namespace

DirectoryReader::DirectoryReader() = default;

DirectoryReader::~DirectoryReader() = default;

bool DirectoryReader::Open(const BaseDirectory& base) {
  Close();
  if (!base.IsOpen()) return false;
  std::unique_ptr<Native> opened(new (std::nothrow) Native(base));
  if (opened == nullptr) return false;
  const std::string pattern = base.Prefix() + "*";
  opened->search = FindFirstFileA(pattern.c_str(), &opened->data);
  if (opened->search == INVALID_HANDLE_VALUE) return false;
  opened->havePending = true;
  native_ = std::move(opened);
  return true;
}

bool DirectoryReader::Next(DirectoryEntry* entry) {
  if (native_ == nullptr) return false;
  Native& state = *native_;
  if (state.havePending) {
    state.havePending = false;
  } else if (!FindNextFileA(state.search, &state.data)) {
    return false;
  }
  if (entry != nullptr) {
    FillEntry(state.data, entry);
    if ((state.data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      ResolveLink(state.base, entry);
    }
  }
  return true;
}

void DirectoryReader::Close() {
  native_.reset();
}

}  // namespace quarv::platform
