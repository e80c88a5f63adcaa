// DELE: deletes one file of the base directory.
#include "common/protocol.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "service/file_names.h"
#include "service/file_server.h"

namespace quarv {

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
