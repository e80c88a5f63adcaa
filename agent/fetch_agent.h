// FetchAgent: the agent object of one run. A pass (RunPass) connects to the file service, logs
// in, lists, fetches every pending file (FetchFile) and says goodbye; the run repeats passes.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/connection.h"
#include "common/digest_pipeline.h"
#include "common/protocol.h"
#include "platform/file.h"
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
// The longest name the service can take in a request line ("GET " or "DELE " and the name,
// before the line end).
inline constexpr std::size_t kLongestGetName =
    static_cast<std::size_t>(kLongestRequestLine) - (sizeof "GET " - 1);
inline constexpr std::size_t kLongestDeleteName =
    static_cast<std::size_t>(kLongestRequestLine) - (sizeof "DELE " - 1);
// The body is received in blocks of this size: the progress bar is brought up to date per block.
inline constexpr std::uint32_t kBlockSize = 10240;
// Bytes of a body taken in by one receive and one write: a whole number of blocks (so that the
// progress bar moves exactly as it would block by block), a multiple of the page size, and
// small enough that memory stays flat whatever the file size.
inline constexpr std::uint32_t kReceiveBlocks = 24;
inline constexpr std::uint32_t kReceiveSize = kReceiveBlocks * kBlockSize;
// Requests that may be on their way ahead of the file being received: at most this many files,
// in at most this many bytes of request lines, which the service's receive buffer always holds
// (so that the agent never waits in a send while the service waits for it to read). New requests
// go out together once no more than kAheadRefill files are left asked for: one send for many
// files, while the service still has requests in hand. Small files on a path with long round
// trips need many in flight; the byte limit bounds them for longer names.
inline constexpr std::size_t kAheadFiles = 128;
inline constexpr std::size_t kAheadRefill = kAheadFiles / 2;
inline constexpr std::size_t kAheadBytes = 4096;
// The digest after the body, or the zero sentinel when nothing was asked for.
inline constexpr std::uint32_t kTrailerSize = 16;
// The progress bar has this many marks.
inline constexpr std::int64_t kProgressMarks = 50;
// Size of the buffer SizeText writes into.
inline constexpr std::size_t kSizeTextCapacity = 32;

// A connection on which the service sends nothing for this long counts as lost: the pass ends
// (the partial file kept for a resume) and the run tries again, instead of waiting for ever on a
// stalled service.
inline constexpr std::chrono::minutes kIdleTimeout{5};

inline constexpr char kPartialPrefix[] = "_incomplete_";

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

  // One pass. Returns -1 when the connection was not opened, else the number of files fetched
  // and put in place. `*notFetched` is -1 until the whole list has been read, then the number of
  // listed files counted as not fetched.
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
  // HELO and ENTER with the token. False (after its message, if any) when the pass must abort.
  bool Login(const char* password);
  // Reads the list block into `pending` and counts the present files; the files that would be
  // pending beyond the table's limit are counted in namesBeyondTable_. False when the block
  // broke off.
  bool ReadList(std::vector<std::string>* pending, int* present);
  // The fetch of one file; `requested`: its GET and "Offset: 0 0" were sent ahead.
  FetchResult Fetch(const char* name, int* notFetched, bool requested);
  // The body from `offset` to `total` into the partial file, with the progress bar; each block
  // written is handed to `digest`. `*received` is the length of good data in the partial file.
  // False when the body broke off: the message is said, the partial file settled and closed, the
  // digest abandoned, the file counted in `notFetched`, and `*result` is how the pass goes on.
  bool ReceiveBody(platform::File& partial, bool writable, std::uint64_t offset,
                   std::uint64_t total, bool haveTime, platform::FileTime serverTime,
                   DigestPipeline& digest, std::uint64_t* received, int* notFetched,
                   FetchResult* result);
  // Whether the GET of `name` may go ahead with "Offset: 0 0": a name that is fetched (safe, its
  // paths fit) and has no partial file, so that the offset asked for is 0 whatever the header.
  bool CanRequestAhead(const char* name) const;
  // Reads and drops a body of `length` bytes and its trailer, asked for ahead but not wanted.
  bool DrainBody(std::uint64_t length);
  // Ends a GET exchange whose body is not wanted: asks for the offset equal to the size and
  // reads the zero sentinel. False when the connection did not answer as expected.
  bool DeclineBody(std::uint32_t sizeLow, std::uint32_t sizeHigh);
  // True when the base prefix plus `name` is at most `limit` bytes (false without a prefix).
  bool LocalPathFits(const char* name, std::size_t limit) const;
  // Cuts the partial file at `length` and, when the service's time is known, stamps it. False
  // when either fails.
  static bool SettlePartial(platform::File& partial, std::uint64_t length, bool haveTime,
                            platform::FileTime serverTime);
  // Gives the partial file the service's time and reads it back: false when the file system
  // did not take it exactly (a time out of its range).
  static bool StampPartial(platform::File& partial, platform::FileTime serverTime);

  std::array<char, kReplyLineLimit> line_{};
  // Whether the file FetchFile last put in place, and its directory entry, reached stable
  // storage (asked for only when deleteFile is set: the service's copy is deleted only then).
  bool fetchedDurably_ = false;
  // Files of the last list that would have been pending beyond kMaxPendingNames.
  int namesBeyondTable_ = 0;
};

}  // namespace quarv::agent
