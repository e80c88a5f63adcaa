// FetchAgent: the agent object of one run. A pass (RunPass) connects to the file service, logs
// in, lists, fetches every pending file (FetchFile) and says goodbye; the run repeats passes.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "agent/console_output.h"
#include "agent/partial_file.h"
#include "agent/requests.h"
#include "common/connection.h"
#include "common/digest_pipeline.h"
#include "common/protocol.h"
#include "platform/file_time.h"

namespace quarv::agent {

// Reply lines are read with this limit: at most 1022 bytes before the line end.
inline constexpr std::int32_t kReplyLineLimit = 1024;
// The DELE reply is read with this smaller limit.
inline constexpr std::int32_t kDeleteLineLimit = 260;
// Local paths, names and the base prefix fit in this many bytes with their terminator.
inline constexpr std::size_t kPathCapacity = 260;
inline constexpr std::size_t kMaxNameLength = kPathCapacity - 1;
// Longest base prefix plus name that may still count as present locally.
inline constexpr std::size_t kPresentPathLimit = 244;
// Longest base prefix plus name that is fetched (room for the "_incomplete_" prefix).
inline constexpr std::size_t kFetchPathLimit = 236;
// At most this many files are taken from one list. A list with more pending files is followed by
// another pass of the same try, as long as a pass fetches something.
inline constexpr std::size_t kMaxPendingNames = 10000;
// The body is received in blocks of this size: the progress bar is brought up to date per block.
inline constexpr std::uint32_t kBlockSize = 10240;
// Bytes of a body taken in by one receive and one write: a whole number of blocks (so that the
// progress bar moves exactly as it would block by block), a multiple of the page size, and
// small enough that memory stays flat whatever the file size.
inline constexpr std::uint32_t kReceiveBlocks = 24;
inline constexpr std::uint32_t kReceiveSize = kReceiveBlocks * kBlockSize;
// The digest after the body, or the zero sentinel when nothing was asked for.
inline constexpr std::uint32_t kTrailerSize = 16;
// The body bytes the service sends for a file of `size` bytes asked for from `offset`: none at or
// beyond the end, where the zero sentinel stands in for the body and the digest.
inline constexpr std::uint64_t BodyLength(std::uint64_t size, std::uint64_t offset) {
  return offset < size ? size - offset : 0;
}
// Size of the buffer SizeText writes into.
inline constexpr std::size_t kSizeTextCapacity = 32;

// With DELETEFILE, a listed file larger than this is asked for only once no DELE reply is
// outstanding, so that its progress shows as it arrives; smaller files go ahead past outstanding
// DELEs, their console output held until the replies are read.
inline constexpr std::uint64_t kLargestFileAheadOfDeletes = std::uint64_t{1024} * 1024;
// With DELETEFILE, where the file system can be synced in one call, the files fetched are held
// in their partial files and put in place together, after one sync, at most this many at a time;
// their DELEs then go out together.
inline constexpr std::size_t kFilesPerSync = 128;

// A connection on which the service sends nothing for this long counts as lost: the pass ends
// (the partial file kept for a resume) and the run tries again, instead of waiting for ever on a
// stalled service.
inline constexpr std::chrono::minutes kIdleTimeout{5};

class RequestWindow;
enum class AheadChoice;

enum class FetchResult {
  Fetched,    // verified and in place under its own name
  NextFile,   // go on with the next pending file
  EndPass,    // leave the file loop, end the pass normally (QUIT)
  AbortPass,  // the connection is lost or out of step: end the pass through the abort path
};

class FetchAgent {
 public:
  FetchAgent() = default;
  FetchAgent(const FetchAgent&) = delete;
  FetchAgent& operator=(const FetchAgent&) = delete;

  // Starts the socket library (version 1.1) for the run; false when it does not start.
  bool Startup();
  void Cleanup();

  // One pass to `port`, 1 to 65535. Returns -1 when the connection was not opened, else the
  // number of files fetched and put in place. `*notFetched` is -1 until the whole list has been
  // read, then the number of listed files counted as not fetched.
  int RunPass(const char* host, int port, const char* password, const char* base, int* notFetched);

  // The status code of a reply line (its first three characters as a number).
  static int ReplyCode(const char* line);
  // True for codes 200 to 299.
  static bool IsAccepted(const char* line);

  // Whether a listed file counts as already present in the local base.
  bool IsPresentLocally(const char* name, std::uint32_t lastWriteLow, std::uint32_t lastWriteHigh);
  // DELE of one file. False when no reply line arrived.
  bool DeleteOnServer(const char* name);
  // Reads the reply to the DELE of `name` (sent already) and says how it went. False when no
  // reply line arrived.
  bool ReadDeleteReply(const char* name);
  // The whole GET exchange for one pending file.
  FetchResult FetchFile(const char* name, int* notFetched);

  // The approximate size ("%uB", "%uKB", ... "%uTB") written into `buffer`, which is returned.
  static const char* SizeText(char* buffer, std::size_t size, std::uint32_t low,
                              std::uint32_t high);

  // A name that stays inside the base directory as one entry of it: not empty, not "." or "..",
  // no path separator ('/' or '\\', on every platform), no control character; nor a name that
  // begins with the partial-file prefix (in any case), which would be taken for the partial file
  // of another name.
  static bool IsSafeLocalName(const char* name);
  // Whether the GET line of `name` fits the service's line limit.
  static bool RequestFits(const char* name);
  // Whether `name` is ever asked for: a safe name whose GET line fits.
  static bool IsAskedFor(const char* name);

  // Whether the list of the last pass held more pending files than its table took: the run
  // then goes on with another pass.
  bool ListWasCut() const { return namesBeyondTable_ != 0; }

  bool checkFileTime = true;
  bool deleteFile = false;
  // How long a receive of the pass may wait for a byte before the connection counts as lost.
  std::chrono::milliseconds idleTimeout = kIdleTimeout;
  Connection connection;
  // The local base directory as it prefixes every local path; rebuilt by every pass. Empty
  // when the BASE setting does not fit: then no local path is formed at all.
  std::string localBase;

 private:
  // What the header of a GET reply announced.
  struct FileHeader {
    std::uint64_t size = 0;
    bool haveTime = false;  // a "LastWrite:" line came with the service's time
    platform::FileTime time = 0;
  };

  // The pass (agent_pass.cpp).
  // Queues `text` to be sent (Connection::Queue) unless it is empty. A failed send shows as a
  // missing reply.
  void Send(const std::string& text);
  // Ends a pass on the abort path: the connection closed without QUIT, the message said.
  // Returns `finished`.
  int EndPassOnError(int finished);
  // Says where it connects and connects. False (after its message) when no connection opened.
  bool Connect(const char* host, int port);
  // HELO and ENTER with the token. False (after its message, if any) when the pass must abort.
  bool Login(const char* password);
  // LIST and its block into `pending`, then the counts; `*notFetched` is set once the whole
  // block is read. False (after its message, if any) when the pass must abort.
  bool List(std::vector<std::string>* pending, int* notFetched);
  // Reads the list block into `pending` and counts the present files; the files that would be
  // pending beyond the table's limit are counted in namesBeyondTable_. A name is pending once:
  // a record of a name already pending (by the local file system's rule of sameness) is
  // dropped. False when the block broke off.
  bool ReadList(std::vector<std::string>* pending, int* present);
  // The file loop over `pending`, with requests sent ahead and DELE after each fetched file
  // when configured; `*finished` counts the files put in place. False when the pass must abort.
  bool FetchPending(std::vector<std::string>* pending, int* notFetched, int* finished);
  // Whether the GET of pending file `index`, named `name`, may go ahead: a name that is fetched
  // (safe, its paths fit). `*offset` is the offset it goes with: the one the resume would take if
  // the header said what the list said (0 without a partial file).
  AheadChoice AheadChoiceFor(std::size_t index, const std::string& name,
                             std::uint64_t* offset) const;
  // The choice for pending file `index` in the window: with DELETEFILE a large file never goes
  // ahead past an outstanding DELE.
  AheadChoice WindowChoiceFor(std::size_t index, const std::string& name,
                              std::uint64_t* offset) const;
  // The DELE of `name`, just fetched, when it is safe to delete, sent together with the window's
  // refill from pending file `next` on; its reply is read where it stands in the stream (before
  // the replies of the requests sent after it), its message held in its place until then.
  void DeleteFetched(const std::string& name, const std::vector<std::string>& pending,
                     std::size_t next, RequestWindow& ahead);
  // The files held since the last sync, if any: one sync for all of them (their bytes and times)
  // before any takes its own name, then one for their names; then, when `deleting`, their DELEs
  // go out together, behind the requests of the pending files before `next` that went ahead.
  // Each file's outcome (the DELE's reply to come, or what is said at once: a failed rename, a
  // delete that is not safe) takes its console place, opened when the file was fetched, in
  // order. A file that could not be renamed no longer counts in `*finished` and counts in
  // `*notFetched` instead.
  void PutHeldInPlace(std::size_t next, const RequestWindow& ahead, bool deleting, int* finished,
                      int* notFetched);
  // Reads the replies of the outstanding DELEs sent before the request of pending file `index`
  // (every one when `all`), settling their console places. A reply that does not come settles
  // its place without text, as does every later one.
  void ReadDeletesBefore(std::size_t index, bool all);
  // Settles every console place of an outstanding DELE without reading anything more: the
  // connection is lost or out of step. An outcome said at once is still said.
  void SettleDeletesUnread();
  // After the pass ended at pending file `index` with DELE replies outstanding: reads past the
  // rest of that file's body (when known) and the exchanges of the requests sent ahead before
  // the DELEs, so that their replies are read.
  void SettleDeletesAtEnd(std::size_t index, const RequestWindow& ahead, std::size_t fileCount);
  // Whether a DELE's reply is still to be read.
  bool DeleteRepliesOutstanding() const;
  // Reads and drops the whole exchange of a GET that went ahead with the offset line of
  // `offset`. False when the connection is out of step or lost.
  bool DrainExchange(std::uint64_t offset);

  // The fetch of one file (file_fetch.cpp); `ahead`: the offset its GET and offset line went
  // ahead with, none when it goes in lock step. Each of its steps that may end the fetch returns
  // the result it ends with, or nothing when the fetch goes on.
  FetchResult Fetch(const char* name, int* notFetched, std::optional<std::uint64_t> ahead);
  // Says the message of a failure that counts as one file not fetched, and counts it.
  static void CountFailure(MessageFor<> message, int* notFetched);
  // The GET of `name` (unless it went ahead) and its reply line.
  std::optional<FetchResult> Request(const char* name, bool requested, int* notFetched);
  // Reads the header up to its empty line, saying the size. False when the connection broke.
  bool ReadHeader(FileHeader* header);
  // Ends a GET exchange of a file of `size` bytes whose body is not wanted: declined, or drained
  // when it was asked for ahead (from offset `*ahead`). NextFile when the connection is still in
  // step, else AbortPass.
  FetchResult SkipBody(std::uint64_t size, std::optional<std::uint64_t> ahead);
  // Asks for the offset equal to the size and reads the zero sentinel. False when the
  // connection did not answer as expected.
  bool DeclineBody(std::uint64_t size);
  // Reads and drops a body of `length` bytes and its trailer, asked for ahead but not wanted.
  bool DrainBody(std::uint64_t length);
  // Decides where the body starts in the partial file, asks for that offset (unless the request
  // went ahead with `*ahead`) and says when it resumes. Returns the offset; nothing when the
  // offset that went ahead does not fit the file the header describes (it changed after the
  // list): then its body must not be written.
  std::optional<std::uint64_t> DecideResume(PartialFile& partial, std::uint64_t total,
                                            std::optional<std::uint64_t> ahead);
  // The body of `length` bytes into the partial file with the progress bar; each piece written
  // is handed to `digest`. When the body breaks off: the message said, the partial file kept,
  // the digest abandoned, the file counted, and the result the pass goes on with.
  std::optional<FetchResult> ReceiveBody(PartialFile& partial, std::uint64_t length,
                                         DigestPipeline& digest, int* notFetched);
  // Reads the service's digest and compares it with the body's; a mismatch removes the partial
  // file.
  std::optional<FetchResult> CheckTrailer(PartialFile& partial, DigestPipeline& digest,
                                          int* notFetched);
  // Finishes the verified partial file of `name` and renames it to the file's own name; when
  // files are synced in batches, holds it for the next sync instead.
  FetchResult PutInPlace(const char* name, PartialFile& partial, int* notFetched);

  // True when the base prefix plus `name` is at most `limit` bytes (false without a prefix).
  bool LocalPathFits(const char* name, std::size_t limit) const;

  std::array<char, kReplyLineLimit> line_{};
  // Whether the file FetchFile last put in place, and its directory entry, reached stable
  // storage (asked for only when deleteFile is set: the service's copy is deleted only then).
  bool fetchedDurably_ = false;
  // Files of the last list that would have been pending beyond kMaxPendingNames.
  int namesBeyondTable_ = 0;
  // The listed size and last-write time of each pending file of the pass, by its index.
  std::vector<std::uint64_t> pendingSizes_;
  std::vector<platform::FileTime> pendingTimes_;
  // A DELE sent whose reply is not read yet: it comes before the replies of the requests of
  // pending files from `before` on that went ahead. Or the outcome of a file held for a sync
  // whose DELE was not sent: `text` is said in its place, in its turn.
  struct OutstandingDelete {
    std::string name;
    std::size_t before = 0;
    bool replyExpected = true;
    std::string text;
  };
  std::deque<OutstandingDelete> deletes_;
  // Whether the files fetched are held for a sync of many (DELETEFILE, and the file system can
  // be synced in one call), and those held since the last one: their partial files and own
  // paths.
  bool syncInBatches_ = false;
  struct HeldFile {
    std::string name;
    std::string partialPath;
    std::string finalPath;
  };
  std::vector<HeldFile> held_;
  // A DELE reply did not come: the connection is lost, no later reply is read.
  bool deleteReplyLost_ = false;
  // When the last fetch ended the pass before its exchange was read to the end (a file emptied
  // after the list, whose offset line went ahead): the bytes of it (and its trailer) still on
  // their way.
  std::optional<std::uint64_t> unreadBody_;
};

}  // namespace quarv::agent
