// Whole small files, and files only their owner may read (Win32).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/private_file.h"
#include "platform/win32/error_text.h"

namespace quarv::platform {

namespace {

constexpr DWORD kReadChunk = 4096;

bool Fail(SystemError* error, DWORD code) {
  if (error != nullptr) *error = SystemError{code, win32::ErrorText(code)};
  return false;
}

struct HandleClose {
  void operator()(HANDLE handle) const {
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
  }
};
using Handle = std::unique_ptr<void, HandleClose>;

// The security of a file only the process's user, the administrators and SYSTEM may open: a
// DACL of three full-access entries, protected from the entries the directory would pass on.
class PrivateSecurity {
 public:
  // False, with the system's error, when the user's SID or the descriptor cannot be made.
  bool Make(DWORD* failure) {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
      *failure = GetLastError();
      return false;
    }
    const Handle token(rawToken);
    DWORD size = 0;
    GetTokenInformation(rawToken, TokenUser, nullptr, 0, &size);
    tokenUser_.resize(size);
    if (size == 0 || !GetTokenInformation(rawToken, TokenUser, tokenUser_.data(), size, &size)) {
      *failure = GetLastError();
      return false;
    }
    const PSID user = reinterpret_cast<TOKEN_USER*>(tokenUser_.data())->User.Sid;
    DWORD adminsSize = sizeof admins_;
    DWORD systemSize = sizeof system_;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins_, &adminsSize) ||
        !CreateWellKnownSid(WinLocalSystemSid, nullptr, system_, &systemSize)) {
      *failure = GetLastError();
      return false;
    }
    const PSID sids[] = {user, admins_, system_};
    DWORD aclSize = sizeof(ACL);
    for (const PSID sid : sids) {
      aclSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
    }
    acl_.resize(aclSize);
    auto* const acl = reinterpret_cast<ACL*>(acl_.data());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION)) {
      *failure = GetLastError();
      return false;
    }
    for (const PSID sid : sids) {
      if (!AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid)) {
        *failure = GetLastError();
        return false;
      }
    }
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      *failure = GetLastError();
      return false;
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    return true;
  }

  SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

 private:
  std::vector<unsigned char> tokenUser_;
  alignas(DWORD) unsigned char admins_[SECURITY_MAX_SID_SIZE] = {};
  alignas(DWORD) unsigned char system_[SECURITY_MAX_SID_SIZE] = {};
  std::vector<unsigned char> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

bool WriteNew(const char* path, const std::string& bytes, SECURITY_ATTRIBUTES* security,
              SystemError* error) {
  Handle file(
      CreateFileA(path, GENERIC_WRITE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return Fail(error, GetLastError());
  DWORD failure = 0;
  for (std::size_t done = 0; done < bytes.size();) {
    DWORD wrote = 0;
    if (!WriteFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &wrote,
                   nullptr) ||
        wrote == 0) {
      failure = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
      break;
    }
    done += wrote;
  }
  if (failure == 0 && !FlushFileBuffers(file.get())) failure = GetLastError();
  if (!CloseHandle(file.release()) && failure == 0) failure = GetLastError();
  if (failure != 0) {
    // Half a key is worse than none: the next start would refuse it.
    DeleteFileA(path);
    return Fail(error, failure);
  }
  return true;
}

}  // namespace

bool WritePrivateFile(const char* path, const std::string& bytes, SystemError* error) {
  PrivateSecurity security;
  DWORD failure = 0;
  if (!security.Make(&failure)) return Fail(error, failure);
  return WriteNew(path, bytes, security.Attributes(), error);
}

bool WriteNewFile(const char* path, const std::string& bytes, SystemError* error) {
  return WriteNew(path, bytes, nullptr, error);
}

// Only the Linux mode is checked: the file's ACL is not examined here, so a file that opens for
// reading counts as private.
PrivacyCheck CheckPrivateFile(const char* path, std::uint32_t* mode, SystemError* error) {
  if (mode != nullptr) *mode = 0;
  const Handle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    Fail(error, code);
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? PrivacyCheck::Missing
                                                                        : PrivacyCheck::Unreadable;
  }
  return PrivacyCheck::Private;
}

bool ReadWholeFile(const char* path, std::string* bytes, SystemError* error) {
  const Handle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return Fail(error, GetLastError());
  std::string contents;
  char chunk[kReadChunk];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) {
      return Fail(error, GetLastError());
    }
    if (got == 0) break;
    if (contents.size() + got > kWholeFileLimit) {
      if (error != nullptr) {
        *error = SystemError{kErrorFileTooLarge,
                             "larger than " + std::to_string(kWholeFileLimit) + " bytes"};
      }
      return false;
    }
    contents.append(chunk, got);
  }
  *bytes = std::move(contents);
  return true;
}

}  // namespace quarv::platform
