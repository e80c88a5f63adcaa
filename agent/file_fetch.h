// The fetch of one file: the agent's half of the GET exchange, from the request to the file put
// in place.
//
//   agent    GET <name>\r\n
//   service  200 File Transfer.\r\n           (or one error line: the file is not fetched)
//   service  FileSize: <low> <high>\r\n      (the size is shown as it is read)
//   service  LastWrite: <low> <high>\r\n
//   service  \r\n
//   agent    Offset: <low> <high>\r\n        (where the partial file's good data ends, or 0;
//                                             the size to decline the body)
//   service  the body from the offset on, into the partial file, with the progress bar
//   service  its MD5 digest, 16 raw bytes, compared with the body's; or, when no byte is left
//            to send, "0000000000000000" in place of body and digest
//
// A GET sent ahead (request_window.h) carries its offset line in the same breath; its exchange
// reads the replies only. An exchange the agent no longer wants is still read to its end, so
// that the connection stays in step with the service.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "agent/partial_file.h"
#include "agent/rate_limit.h"
#include "common/connection.h"
#include "common/digest_pipeline.h"
#include "platform/file_time.h"

namespace quarv::agent {

// Reply lines are read with this limit: at most 1022 bytes before the line end.
inline constexpr std::int32_t kReplyLineLimit = 1024;
// The body is received in blocks of this size: the progress bar is brought up to date per block.
inline constexpr std::uint32_t kBlockSize = 10240;
// Bytes of a body taken in by one receive and one write: a whole number of blocks (so that the
// progress bar moves exactly as it would block by block), a multiple of the page size, and
// small enough that memory stays flat whatever the file size. Under a rate limit a receive may
// take less (rate_limit.h); the bar still counts whole blocks from the start of the body.
inline constexpr std::uint32_t kReceiveBlocks = 24;
inline constexpr std::uint32_t kReceiveSize = kReceiveBlocks * kBlockSize;
// The digest after the body, or the zero sentinel when nothing was asked for.
inline constexpr std::uint32_t kTrailerSize = 16;
// The body bytes the service sends for a file of `size` bytes asked for from `offset`: none at or
// beyond the end, where the zero sentinel stands in for the body and the digest.
inline constexpr std::uint64_t BodyLength(std::uint64_t size, std::uint64_t offset) {
  return offset < size ? size - offset : 0;
}

enum class FetchResult {
  Fetched,    // verified and in place under its own name (or held for the next sync)
  NextFile,   // go on with the next pending file
  EndPass,    // leave the file loop, end the pass normally (QUIT)
  AbortPass,  // the connection is lost or out of step: end the pass through the abort path
};

// How a verified file is finished.
enum class Finish {
  InPlace,         // renamed to its own name
  DurablyInPlace,  // on stable storage with its entry, then renamed (its DELE follows)
  Held,            // held whole in its partial file for one sync of many (server_deletes.h)
};

// How the pass fetches one file.
struct FetchPlan {
  // The offset its GET and offset line went ahead with; none when it goes in lock step.
  std::optional<std::uint64_t> ahead;
  Finish finish = Finish::InPlace;
};

// A verified file held in its partial file until the next sync.
struct HeldFile {
  std::string name;
  std::string partialPath;
  std::string finalPath;
};

// What the fetch of one file ended with.
struct FetchOutcome {
  // Implicit: a step that ends the fetch gives its result, which is the whole outcome.
  FetchOutcome(FetchResult ended = FetchResult::NextFile) : result(ended) {}

  FetchResult result;
  // Fetched with Finish::DurablyInPlace: the file and its entry reached stable storage, so that
  // the service's copy may be deleted.
  bool durable = false;
  // Fetched with Finish::Held: the file to put in place after the sync.
  std::optional<HeldFile> held;
  // EndPass with the exchange not read to its end (a file emptied after the list, whose offset
  // line went ahead): the bytes of it still on their way, the zero sentinel's place.
  std::optional<std::uint64_t> unreadBody;
};

// One file's fetch on the pass's connection. It owns its reply line and, while it runs, the
// partial file and the digest of the body; it needs the connection, the local base prefix
// (empty when BASE does not fit: then no local path is formed) and the pass's rate limit, which
// paces every body the fetch receives or reads past, all of which must outlive it. Made by
// FetchAgent::FetchFile for one pending file and run once, on the agent's one thread.
class FileFetch {
 public:
  FileFetch(Connection& connection, const std::string& localBase, const FetchPlan& plan,
            RateLimit& rateLimit);
  FileFetch(const FileFetch&) = delete;
  FileFetch& operator=(const FileFetch&) = delete;

  // The whole exchange for pending file `name`. Every counted failure says its message and adds
  // one to `*notFetched`; a digest mismatch and a failed rename count too.
  FetchOutcome Run(const char* name, int* notFetched);

  // The lines of the GET of `name` sent ahead: the request and its offset line.
  static std::string AheadRequest(const std::string& name, std::uint64_t offset);
  // Reads and drops the whole exchange of a GET that went ahead with the offset line of
  // `offset`. False when the connection is out of step or lost.
  static bool DrainExchange(Connection& connection, std::uint64_t offset);
  // Reads and drops a body of `length` bytes and its trailer, paced by `rateLimit` when given.
  // False when they do not all come.
  static bool DrainBody(Connection& connection, std::uint64_t length,
                        RateLimit* rateLimit = nullptr);

 private:
  // Each step that may end the fetch returns the result it ends with, or nothing when the fetch
  // goes on.
  // The GET (unless it went ahead) and its status line.
  std::optional<FetchResult> Request(const char* name, int* notFetched);
  // Ends an exchange of a file of `size` bytes whose body is not wanted: declined (the offset
  // asked for is the size, answered by the zero sentinel), or read and dropped when it was asked
  // for ahead. NextFile when the connection is still in step, else AbortPass.
  FetchResult SkipBody(std::uint64_t size);
  // Decides where the body starts in the partial file, asks for that offset (unless it went
  // ahead) and says when it resumes. Nothing when the offset that went ahead does not fit the
  // file the header describes (it changed after the list): then its body must not be written.
  std::optional<std::uint64_t> DecideResume(PartialFile& partial, std::uint64_t total);
  // The body of `length` bytes into the partial file with the progress bar; each piece written
  // is handed to `digest`. When it breaks off: the message said, the partial file kept, the
  // file counted, and the result the pass goes on with.
  std::optional<FetchResult> ReceiveBody(PartialFile& partial, std::uint64_t length,
                                         DigestPipeline& digest, int* notFetched);
  // Reads the service's digest and compares it with the body's; a mismatch removes the partial
  // file.
  std::optional<FetchResult> CheckTrailer(PartialFile& partial, DigestPipeline& digest,
                                          int* notFetched);
  // Finishes the verified partial file of `name` as the plan says.
  FetchOutcome PutInPlace(const char* name, PartialFile& partial, int* notFetched);

  Connection& connection_;
  const std::string& localBase_;
  const FetchPlan plan_;
  RateLimit& rateLimit_;
  std::array<char, kReplyLineLimit> line_{};
};

}  // namespace quarv::agent
