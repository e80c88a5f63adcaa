// Directory enumeration: FindFirstFileA / FindNextFileA on the list pattern. Read beneath a base
// directory, a link (a reparse point) counts as what it points to only while that lies beneath the
// base.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <new>
#include <string>

#include "platform/directory.h"
#include "platform/paths.h"
#include "platform/win32/beneath.h"

namespace quarv::platform {

namespace {

struct SearchState {
  HANDLE search = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA data;
  bool havePending = false;             // `data` holds the first entry, not yet handed out
  const BaseDirectory* base = nullptr;  // links are resolved beneath it; null: taken as found
};

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

DirectoryReader::~DirectoryReader() {
  Close();
}

bool DirectoryReader::Open(const char* pattern) {
  Close();
  if (pattern == nullptr) return false;
  auto* state = new (std::nothrow) SearchState;
  if (state == nullptr) return false;
  state->search = FindFirstFileA(pattern, &state->data);
  if (state->search == INVALID_HANDLE_VALUE) {
    delete state;
    return false;
  }
  state->havePending = true;
  state_ = state;
  return true;
}

bool DirectoryReader::Open(const BaseDirectory& base) {
  if (!base.IsOpen() || !Open((base.Prefix() + "*").c_str())) return false;
  static_cast<SearchState*>(state_)->base = &base;
  return true;
}

bool DirectoryReader::Next(DirectoryEntry* entry) {
  auto* state = static_cast<SearchState*>(state_);
  if (state == nullptr) return false;
  if (state->havePending) {
    state->havePending = false;
  } else if (!FindNextFileA(state->search, &state->data)) {
    return false;
  }
  if (entry != nullptr) {
    FillEntry(state->data, entry);
    if (state->base != nullptr &&
        (state->data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      ResolveLink(*state->base, entry);
    }
  }
  return true;
}

void DirectoryReader::Close() {
  auto* state = static_cast<SearchState*>(state_);
  if (state == nullptr) return;
  FindClose(state->search);
  delete state;
  state_ = nullptr;
}

}  // namespace quarv::platform
