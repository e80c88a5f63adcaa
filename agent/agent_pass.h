// One transfer pass: connect, log in, list, fetch what is pending (each file by
// FetchAgent::FetchFile, the requests of later files sent ahead through a RequestWindow), delete
// on the service when configured (ServerDeletes), say goodbye.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "agent/file_fetch.h"
#include "agent/pending_file.h"
#include "common/connection.h"

namespace quarv::agent {

class FetchAgent;
class RequestWindow;
class ServerDeletes;

// At most this many files are taken from one list. A list with more pending files is followed by
// another pass of the same try, as long as a pass fetches something.
inline constexpr std::size_t kMaxPendingNames = 10000;

// One pass of the run. It owns the pass's reply line, the pending table and the counts; it needs
// the agent (its settings, connection and local base, which the pass forms first), which must
// outlive it. Made by FetchAgent::RunPass and run once, on the agent's one thread.
class AgentPass {
 public:
  explicit AgentPass(FetchAgent& agent);
  AgentPass(const AgentPass&) = delete;
  AgentPass& operator=(const AgentPass&) = delete;

  // What a pass ended with.
  struct Result {
    // -1 when the connection was not opened, else the files fetched and put in place.
    int finished = -1;
    // -1 until the whole list has been read, then the listed files counted as not fetched.
    int notFetched = -1;
    // Files of the list that would have been pending beyond kMaxPendingNames.
    int namesBeyondTable = 0;
  };

  // The pass to `port` (1 to 65535) of `host`, with `password`, into the agent's local base.
  Result Run(const char* host, int port, const char* password);

 private:
  // Queues `text` to be sent (Connection::Queue) unless it is empty.
  void Send(const std::string& text);
  // Ends a pass on the abort path: the connection closed without QUIT, the message said.
  void EndOnError();
  // Says where it connects and connects, with TLS when configured. False (after its message)
  // when no connection opened.
  bool Connect(const char* host, int port);
  // The TLS handshake on the connection just opened, and the service's certificate compared with
  // the pin. False (after its message, the connection closed) when either fails.
  bool SecureChannel(const char* host, int port);
  // HELO and ENTER with the token. False (after its message, if any) when the pass must abort.
  bool Login(const char* password);
  // LIST and its block into the pending table, then the counts; the not-fetched count starts
  // once the whole block is read. False (after its message, if any) when the pass must abort.
  bool List();
  // Reads the list block into the pending table and counts the present files; the files that
  // would be pending beyond the table's limit are counted in namesBeyondTable. A name is pending
  // once: a record of a name already pending (by the local file system's rule of sameness) is
  // dropped. False when the block broke off.
  bool ReadList(int* present);
  // The file loop over the pending table, with requests sent ahead and DELEs of the files
  // fetched when configured. False when the pass must abort.
  bool FetchPending();
  // The files held for a sync, put in place; `deleting`: their DELEs go out, placed before the
  // replies of the requests of the pending files from `next` on that went ahead. A file that
  // could not be renamed counts as not fetched instead of fetched.
  void PutHeldInPlace(ServerDeletes& deletes, const RequestWindow& window, std::size_t next,
                      bool deleting);
  // The DELE of `name`, just fetched, sent together with the window's refill from pending file
  // `next` on.
  void DeleteFetched(ServerDeletes& deletes, RequestWindow& window, const std::string& name,
                     bool durable, std::size_t next);

  FetchAgent& agent_;
  Connection& connection_;  // the agent's
  std::array<char, kReplyLineLimit> line_{};
  std::vector<PendingFile> pending_;
  Result result_;
};

}  // namespace quarv::agent
