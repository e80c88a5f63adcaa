// The service's copies of the files fetched, deleted with DELETEFILE once the local copies are on
// stable storage: file by file, or, where the file system can be synced in one call, for many
// files held whole in their partial files at once. Each DELE's reply is read where it stands
// among the replies of the requests sent ahead, and its message waits in its console place (a
// place of the agent's HeldConsoleOutput) until then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "agent/file_fetch.h"

namespace quarv::agent {

class FetchAgent;
class RequestWindow;

// With DELETEFILE, where the file system can be synced in one call, the files fetched are held
// in their partial files and put in place together, after one sync, at most this many at a time;
// their DELEs then go out together.
inline constexpr std::size_t kFilesPerSync = 128;
// The DELE reply is read with this limit.
inline constexpr std::int32_t kDeleteLineLimit = 260;

// The DELEs in flight of one pass and the files held for the next sync. It owns both; it needs
// the agent (its connection, its local base, DeleteOnServer), which must outlive it. Each DELE
// it sends is placed before the replies of the requests of pending files from some index on: the
// caller says from which (RequestWindow::NextToConsider), and reads the replies in that order.
// Single-threaded: the agent's one thread makes every call.
class ServerDeletes {
 public:
  explicit ServerDeletes(FetchAgent& agent) : agent_(agent) {}
  ServerDeletes(const ServerDeletes&) = delete;
  ServerDeletes& operator=(const ServerDeletes&) = delete;

  // A verified file held in its partial file until the next sync; its console place opens now.
  void Hold(HeldFile file);
  // Whether the files held fill a sync.
  bool HoldsFullSync() const { return held_.size() >= kFilesPerSync; }
  // The files held since the last sync, if any: one sync for all of them (their bytes and times)
  // before any takes its own name, then one for their names; then, when `deleting`, their DELEs
  // go out together, their replies before those of the pending files from `before` on. Each
  // file's outcome (the DELE's reply to come, or what is said at once: a failed rename, a delete
  // that is not safe) takes its console place, in order. Returns the number of files that could
  // not be put in place: they are no longer fetched.
  int PutHeldInPlace(std::size_t before, bool deleting);
  // The DELE of `name`, just fetched and put in place (`durable`: on stable storage), when it is
  // safe to delete; its reply comes before those of the pending files from `before` on, its
  // message held in its console place until then. When it is not safe, the failure is said now.
  void DeleteFetched(const std::string& name, bool durable, std::size_t before);

  // Reads the replies of the outstanding DELEs placed before the reply of pending file `index`
  // (every one when `all`), settling their console places. A reply that does not come settles
  // its place without text, as does every later one.
  void ReadRepliesBefore(std::size_t index, bool all);
  // After the pass ended at pending file `index` (of `fileCount`) with DELE replies outstanding:
  // reads past the rest of that file's exchange (`unreadBody`, when known) and the exchanges of
  // the requests sent ahead (`window`) before the DELEs, so that their replies are read.
  void ReadRepliesAtEnd(std::size_t index, std::size_t fileCount, const RequestWindow& window,
                        std::optional<std::uint64_t> unreadBody);
  // Settles every console place of an outstanding DELE without reading anything more: the
  // connection is lost or out of step. An outcome said at once is still said.
  void SettleUnread();

 private:
  // A DELE sent whose reply is not read yet: it comes before the replies of the requests of
  // pending files from `before` on that went ahead. Or the outcome of a file held for a sync
  // whose DELE was not sent: `text` is said in its place, in its turn.
  struct Outstanding {
    std::string name;
    std::size_t before = 0;
    bool replyExpected = true;
    std::string text;
  };

  // Whether a DELE's reply is still to be read.
  bool RepliesOutstanding() const;

  FetchAgent& agent_;
  std::deque<Outstanding> outstanding_;
  std::vector<HeldFile> held_;
  // A DELE reply did not come: the connection is lost, no later reply is read.
  bool replyLost_ = false;
};

}  // namespace quarv::agent
