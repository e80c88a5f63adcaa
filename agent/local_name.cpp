// Which listed names may become local files. A name comes from the service; whatever it holds,
// the file it names must lie directly in the local base directory.
#include <cstring>

#include "agent/fetch_agent.h"
#include "agent/requests.h"
#include "platform/module_path.h"

namespace quarv::agent {
namespace {

constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7F;

// Whether `name` begins with the partial-file prefix, in any letter case (a file system that
// ignores case takes "_INCOMPLETE_a" for "_incomplete_a").
bool HasPartialPrefix(const char* name) {
  for (std::size_t i = 0; kPartialPrefix[i] != '\0'; ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    const auto lower =
        static_cast<unsigned char>(byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte);
    if (lower != static_cast<unsigned char>(kPartialPrefix[i])) return false;
  }
  return true;
}

}  // namespace

bool FetchAgent::IsSafeLocalName(const char* name) {
  if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
    return false;
  }
  if (HasPartialPrefix(name)) return false;
  // Character by character: the second byte of a double-byte character may be 0x5C without
  // being a separator (its first byte is never one of the bytes refused here).
  for (const char* p = name; *p != '\0'; p = platform::NextCharacter(p)) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < kFirstPrintable || byte == kDelete || byte == '/' || byte == '\\') return false;
  }
  return true;
}

bool FetchAgent::IsAskedFor(const char* name) {
  return IsSafeLocalName(name) && RequestFits(name);
}

bool FetchAgent::RequestFits(const char* name) {
  return std::strlen(name) <= kLongestGetName;
}

}  // namespace quarv::agent
