// LIST: one record per regular file of the base directory, then the terminator.
//
//   FileName: <name>\r\n
//   FileSize: <low> <high>\r\n
//   LastWrite: <low> <high>\r\n
//
// Records are separated by one empty line; the last is followed directly by ".\r\n".
#include <string>

#include "common/wire_number.h"
#include "platform/directory.h"
#include "service/file_server.h"

namespace quarv {

namespace {

constexpr char kListEnd[] = ".\r\n";

// Only regular files are listed (a link counts as what it points to); a name that a line
// cannot carry is left out.
bool Listable(const platform::DirectoryEntry& entry) {
  return entry.isRegular && !entry.isDirectory &&
         entry.name.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

bool FileServer::ListFiles(Connection& connection) {
  platform::DirectoryReader reader;
  // A directory that cannot be read lists as empty.
  if (reader.Open(listPattern_)) {
    bool first = true;
    platform::DirectoryEntry entry;
    while (reader.Next(&entry)) {
      if (!Listable(entry)) continue;
      std::string record = first ? "" : "\r\n";
      record += "FileName: " + entry.name + "\r\n";
      record += "FileSize: " + FormatWords(entry.size) + "\r\n";
      record += "LastWrite: " + FormatWords(entry.lastWrite) + "\r\n";
      // A failed send does not stop the listing; the session sees the gone client next.
      connection.SendAll(record.data(), static_cast<std::int32_t>(record.size()));
      first = false;
    }
    reader.Close();
  }
  connection.SendText(kListEnd);
  return true;
}

}  // namespace quarv
