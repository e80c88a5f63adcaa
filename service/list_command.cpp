// LIST: one record per regular file of the base directory, then the terminator.
//
//   FileName: <name>\r\n
//   FileSize: <low> <high>\r\n
//   LastWrite: <low> <high>\r\n
//
// Records are separated by one empty line; the last is followed directly by ".\r\n".
#include <string>

#include "common/protocol.h"
#include "common/wire_number.h"
#include "platform/directory.h"
#include "platform/paths.h"
#include "service/file_server.h"

namespace quarv {

namespace {

// The records are gathered and sent in pieces of about this size: few sends for a long list,
// little memory per session.
constexpr std::size_t kListChunk = std::size_t{64} * 1024;

// Only regular files are listed (a link counts as what it points to while that lies beneath the
// base directory); a name that a line cannot carry is left out.
bool Listable(const platform::DirectoryEntry& entry) {
  return entry.isRegular && !entry.isDirectory &&
         entry.name.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

void FileServer::ListFiles(Connection& connection, std::size_t* count) {
  std::size_t listed = 0;
  std::string chunk;
  // A failed send does not stop the listing; the session sees the gone client next.
  const auto send = [&] {
    connection.SendAll(chunk.data(), static_cast<std::int32_t>(chunk.size()));
    chunk.clear();
  };
  platform::SystemError error;
  platform::BaseDirectory base;
  platform::DirectoryReader reader;
  // A directory that cannot be read lists as empty.
  if (base.Open(basePrefix_, &error) && reader.Open(base)) {
    bool first = true;
    platform::DirectoryEntry entry;
    while (reader.Next(&entry)) {
      if (!Listable(entry)) continue;
      if (!first) chunk += kLineEnd;
      chunk += KeyLine(kNameKey, entry.name);
      chunk += KeyLine(kSizeKey, FormatWords(entry.size));
      chunk += KeyLine(kTimeKey, FormatWords(entry.lastWrite));
      if (chunk.size() >= kListChunk) send();
      first = false;
      ++listed;
    }
    reader.Close();
  }
  chunk += kListEnd;
  send();
  if (count != nullptr) *count = listed;
}

}  // namespace quarv
