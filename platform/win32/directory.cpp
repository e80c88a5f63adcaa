// Directory enumeration: FindFirstFileA / FindNextFileA on the list pattern.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <new>

#include "platform/directory.h"

namespace quarv::platform {

namespace {

struct SearchState {
  HANDLE search = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA data;
  bool havePending = false;  // `data` holds the first entry, not yet handed out
};

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

bool DirectoryReader::Next(DirectoryEntry* entry) {
  auto* state = static_cast<SearchState*>(state_);
  if (state == nullptr) return false;
  if (state->havePending) {
    state->havePending = false;
  } else if (!FindNextFileA(state->search, &state->data)) {
    return false;
  }
  if (entry != nullptr) FillEntry(state->data, entry);
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
