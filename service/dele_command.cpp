// DELE: deletes one file of the base directory; after a GET of the name in the same session,
// only the file that was sent.
#include "common/protocol.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "service/file_names.h"
#include "service/file_server.h"
#include "service/sent_files.h"

namespace quarv {

DeleteResult FileServer::RemoveFile(Connection& connection, const char* name,
                                    SentFiles* sentFiles) {
  // The name is forgotten whatever the answer.
  platform::FileIdentity sentIdentity;
  const SentFiles::Found found =
      sentFiles != nullptr ? sentFiles->Take(name, &sentIdentity) : SentFiles::Found::NotSent;
  if (!NameFits(PrefixLength(), name)) {
    connection.SendText(kNameTooLarge);
    return DeleteResult::NotDeleted;
  }
  // A read-only file, a directory, a file being sent or held open by anyone else, a name
  // outside the base (also through a link), a file other than the one this session sent under
  // the name (renamed over it, or grown since), and any name the session may have forgotten all
  // fail.
  const platform::FileIdentity* expected =
      found == SentFiles::Found::Sent ? &sentIdentity : nullptr;
  bool changed = false;
  platform::SystemError error;
  platform::BaseDirectory base;
  if (found == SentFiles::Found::Forgotten || NameLeavesBase(name) ||
      !base.Open(basePrefix_, &error) || !platform::RemoveBeneath(base, name, expected, &changed)) {
    connection.SendText(kCannotDelete);
    return changed ? DeleteResult::Changed : DeleteResult::NotDeleted;
  }
  connection.SendText(kFileDeleted);
  return DeleteResult::Deleted;
}

}  // namespace quarv
