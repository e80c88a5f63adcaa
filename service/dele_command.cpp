// DELE: deletes one file of the base directory.
#include "platform/file.h"
#include "service/file_names.h"
#include "service/file_server.h"

namespace quarv {

namespace {

constexpr char kNameTooLarge[] = "413 File Name Too Large.\r\n";
constexpr char kFileDeleted[] = "200 File Deleted.\r\n";
constexpr char kCannotDelete[] = "500 File Cannot Delete.\r\n";

}  // namespace

bool FileServer::RemoveFile(Connection& connection, const char* name) {
  if (!NameFits(PrefixLength(), name)) {
    connection.SendText(kNameTooLarge);
    return false;
  }
  char path[kPathBufferSize];
  // A read-only file, a directory, a file being sent or a name outside the base all fail.
  if (NameLeavesBase(name) || !FormPath(name, path) || !platform::RemoveFile(path)) {
    connection.SendText(kCannotDelete);
    return false;
  }
  connection.SendText(kFileDeleted);
  return true;
}

}  // namespace quarv
