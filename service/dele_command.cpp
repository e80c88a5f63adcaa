// DELE: deletes one file of the base directory.
#include "platform/file.h"
#include "platform/paths.h"
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
  // A read-only file, a directory, a file being sent or held open by anyone else, and a name
  // outside the base (also through a link) all fail.
  platform::SystemError error;
  platform::BaseDirectory base;
  if (NameLeavesBase(name) || !base.Open(basePrefix_, &error) ||
      !platform::RemoveBeneath(base, name)) {
    connection.SendText(kCannotDelete);
    return false;
  }
  connection.SendText(kFileDeleted);
  return true;
}

}  // namespace quarv
