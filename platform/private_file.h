// Small whole files the service keeps beside its settings: its TLS certificate, and its private
// key, which only the service's own user may read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

namespace quarv::platform {

// The largest file ReadWholeFile reads: a certificate or a key in PEM takes a few kB.
inline constexpr std::size_t kWholeFileLimit = std::size_t{1024} * 1024;
// ERROR_FILE_TOO_LARGE: the code of a file above kWholeFileLimit.
inline constexpr std::uint32_t kErrorFileTooLarge = 223;

// The errors below are the system's own: errno on Linux, GetLastError on Windows, with the
// system's text for it on one line.

// Creates `path` as a new file that only the current user may open (Linux: mode 0600; Windows:
// a protected DACL that grants full access to the process's user, BUILTIN\Administrators and
// SYSTEM only), writes every byte of `bytes`, puts them on stable storage and closes it. Fails
// when `path` exists (it is never replaced); a file this call created and could not fill is
// removed again.
bool WritePrivateFile(const char* path, const std::string& bytes, SystemError* error);
// The same for a file anyone may read (Linux: mode 0644, less the umask; Windows: the
// directory's inherited permissions).
bool WriteNewFile(const char* path, const std::string& bytes, SystemError* error);

// Whether a file is kept from other users.
enum class PrivacyCheck {
  Private,           // only its owner may read or write it
  ReadableByOthers,  // its group or others have some permission on it
  Missing,           // no such file
  Unreadable,        // it cannot be examined (`error` says why)
};
// Linux: any group or other permission bit counts as ReadableByOthers, and `mode`, when given,
// gets the file's permission bits (0644). Windows: its ACL is not examined (only the Linux mode
// is checked): a file that opens for reading is Private, and `mode` stays 0.
PrivacyCheck CheckPrivateFile(const char* path, std::uint32_t* mode, SystemError* error);

// Reads the whole file at `path` into `bytes`. False when it cannot be opened or read, or holds
// more than kWholeFileLimit bytes (kErrorFileTooLarge).
bool ReadWholeFile(const char* path, std::string* bytes, SystemError* error);

}  // namespace quarv::platform
