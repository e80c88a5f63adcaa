// Whether an open handle lies beneath the base directory: the final paths the system gives for
// both handles, compared. The name is opened first and the handle checked afterwards, so that no
// link can be put in place between a check and the open.
#include "platform/win32/beneath.h"

#include <string>

namespace quarv::platform::win32 {
namespace {

// The final path of an open handle ("\\?\C:\dir\file"), or false.
bool FinalPath(HANDLE handle, std::wstring* path) {
  constexpr DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, kFlags);
  if (needed == 0) return false;
  path->assign(needed, L'\0');
  const DWORD length = GetFinalPathNameByHandleW(handle, path->data(), needed, kFlags);
  if (length == 0 || length >= needed) return false;
  path->resize(length);
  return true;
}

}  // namespace

bool LiesBeneath(HANDLE file, HANDLE base) {
  std::wstring basePath;
  std::wstring filePath;
  if (!FinalPath(base, &basePath) || !FinalPath(file, &filePath)) return false;
  if (basePath.empty() || basePath.back() != L'\\') basePath.push_back(L'\\');
  return filePath.size() > basePath.size() && filePath.compare(0, basePath.size(), basePath) == 0;
}

}  // namespace quarv::platform::win32
