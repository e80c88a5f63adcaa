// The fetch of one file, step by step in the order of the exchange (file_fetch.h): the GET and
// its status line, the header, the decision to take or decline the body, the body into the
// partial file with the progress bar and the digest, the trailer checked against the digest,
// and the verified file put in place with the service's last-write time.
//
// The connection is never left out of step with the service. When the file is skipped after the
// header, the exchange is still ended (the offset asked for is the size, so that the service
// answers with its zero sentinel; a body asked for ahead is read and dropped). When the body
// cannot be written (a full disk, a quota, the file-size limit), the rest of it and its digest
// are read and dropped, and the pass goes on with the next file: one file that cannot be written
// never stops the others. When the trailer is short, the pass ends there. Every failure counts
// as one file not fetched, a digest mismatch and a failed rename too, so that a run never says it
// succeeded without the file; the files the pass leaves untried are not counted, as with a lost
// connection.
//
// A refused GET that went ahead leaves its offset line to be answered by the service as an
// unknown command, which is read and dropped. The offset that went ahead for a partial file was
// decided from the list; when the header tells of another version of the file (it changed after
// the list) and the lock-step decision would differ, a resume offset is never used: the body is
// read and dropped, the stale partial file removed, and the file counted as not fetched for a
// later try. An offset of 0 always fits: the file is written from its start.
#include "agent/file_fetch.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "agent/console_output.h"
#include "agent/fetch_agent.h"
#include "agent/progress_bar.h"
#include "agent/requests.h"
#include "common/md5.h"
#include "common/protocol.h"
#include "common/split_token.h"
#include "common/wire_number.h"

namespace quarv::agent {
namespace {

constexpr char kLineEnd[] = "\r\n";

// Larger bodies cannot be counted in the signed arithmetic of the progress bar.
constexpr std::uint64_t kMaxBodySize = INT64_MAX / kProgressMarks;

static_assert(sizeof kZeroSentinel - 1 == kTrailerSize, "the sentinel stands in for the trailer");

// "GET <name>\r\n".
std::string GetRequest(const std::string& name) {
  return kGetCommand + name + kLineEnd;
}

// The offset line: "Offset: <low> <high>\r\n".
std::string OffsetRequest(std::uint64_t offset) {
  return std::string(kOffsetKey) + " " + FormatWords(offset) + kLineEnd;
}

// What the header of a GET reply announced.
struct Header {
  std::uint64_t size = 0;
  bool haveTime = false;  // a "LastWrite:" line came with the service's time
  platform::FileTime time = 0;
};

// Reads the header up to its empty line into `header`, with `line` as the line buffer; with
// `sayingSize`, each size line is shown as it is read. False when the connection broke.
bool ReadHeader(Connection& connection, char* line, Header* header, bool sayingSize) {
  for (;;) {
    if (!connection.ReadLine(line, kReplyLineLimit)) return false;
    if (line[0] == '\0') return true;  // the empty line that ends the header
    const char* value = SplitToken(line);
    if (value == nullptr) continue;
    std::uint32_t low = 0, high = 0;
    if (std::strcmp(line, kSizeKey) == 0) {
      if (!ParseWords(value, &low, &high)) continue;
      header->size = platform::MakeWide(low, high);
      if (sayingSize) {
        char sizeText[kSizeTextCapacity];
        Say(Message::FileSizeLine, low, high,
            FetchAgent::SizeText(sizeText, sizeof sizeText, low, high));
      }
    } else if (std::strcmp(line, kTimeKey) == 0) {
      if (!ParseWords(value, &low, &high)) continue;
      header->time = platform::MakeWide(low, high);
      header->haveTime = true;
    }
  }
}

// After a refused GET that went ahead with its offset line: reads the service's answer to that
// line, an unknown command. False when it is accepted: the service is out of step.
enum class OffsetAnswer { Refused, Accepted, Lost };
OffsetAnswer ReadOffsetAnswer(Connection& connection, char* line) {
  if (!connection.ReadLine(line, kReplyLineLimit)) return OffsetAnswer::Lost;
  return FetchAgent::IsAccepted(line) ? OffsetAnswer::Accepted : OffsetAnswer::Refused;
}

void CountFailure(MessageFor<> message, int* notFetched) {
  Say(message);
  ++*notFetched;
}

}  // namespace

FileFetch::FileFetch(Connection& connection, const std::string& localBase, const FetchPlan& plan,
                     RateLimit& rateLimit)
    : connection_(connection), localBase_(localBase), plan_(plan), rateLimit_(rateLimit) {}

std::string FileFetch::AheadRequest(const std::string& name, std::uint64_t offset) {
  return GetRequest(name) + OffsetRequest(offset);
}

FetchOutcome FileFetch::Run(const char* name, int* notFetched) {
  // A name that would leave the base directory is not even asked for; nor is a name whose GET
  // line the service cannot take (it would end the connection): that one is skipped like a name
  // too long for the local path.
  if (!FetchAgent::IsSafeLocalName(name)) {
    CountFailure(Message::LocalNameRefused, notFetched);
    return FetchResult::NextFile;
  }
  if (!FetchAgent::RequestFits(name)) {
    CountFailure(Message::LocalNameTooLong, notFetched);
    return FetchResult::NextFile;
  }
  if (const auto end = Request(name, notFetched)) return *end;

  Header header;
  if (!ReadHeader(connection_, line_.data(), &header, true)) {
    return FetchResult::AbortPass;
  }
  // Nothing to receive. The service still waits for an offset line; the pass ends with QUIT.
  if (header.size == 0 || header.size > kMaxBodySize) {
    CountFailure(Message::InvalidResponse, notFetched);
    // A file emptied after the list: the offset line that went ahead is answered with the zero
    // sentinel, which is read past like a body, so that the replies behind it can still be read.
    FetchOutcome ended(FetchResult::EndPass);
    if (plan_.ahead && header.size == 0) ended.unreadBody = 0;
    return ended;
  }
  Say(Message::TransferStarting);

  // Take the body or decline it.
  if (!LocalPathFits(localBase_, name, kFetchPathLimit)) {
    CountFailure(Message::LocalNameTooLong, notFetched);
    return SkipBody(header.size);
  }
  PartialFile partial(localBase_, name, header.haveTime, header.time);
  if (!partial.IsOpen()) {
    CountFailure(Message::PartialNotCreated, notFetched);
    return SkipBody(header.size);
  }
  const std::optional<std::uint64_t> offset = DecideResume(partial, header.size);
  if (!offset) {
    // Its bytes would land at the wrong place: none is written, the stale partial file goes.
    CountFailure(Message::PartialFileStale, notFetched);
    partial.Discard();
    return SkipBody(header.size);
  }

  DigestPipeline digest;
  if (const auto end = ReceiveBody(partial, header.size - *offset, digest, notFetched)) {
    return *end;
  }
  if (const auto end = CheckTrailer(partial, digest, notFetched)) return *end;
  return PutInPlace(name, partial, notFetched);
}

std::optional<FetchResult> FileFetch::Request(const char* name, int* notFetched) {
  if (!plan_.ahead) connection_.Queue(GetRequest(name));
  if (!connection_.ReadLine(line_.data(), kReplyLineLimit)) return FetchResult::AbortPass;
  if (FetchAgent::IsAccepted(line_.data())) return std::nullopt;
  Say(Message::GetRefused, name, line_.data());
  ++*notFetched;
  // A lost connection shows at the next request, as it would without the offset line.
  if (plan_.ahead && ReadOffsetAnswer(connection_, line_.data()) == OffsetAnswer::Accepted) {
    return FetchResult::AbortPass;
  }
  return FetchResult::NextFile;
}

FetchResult FileFetch::SkipBody(std::uint64_t size) {
  // A body that is not wanted still has to pass: declined when it has not been asked for yet,
  // read and dropped when it has.
  if (plan_.ahead) {
    return DrainBody(connection_, BodyLength(size, *plan_.ahead), &rateLimit_)
               ? FetchResult::NextFile
               : FetchResult::AbortPass;
  }
  connection_.Queue(OffsetRequest(size));
  std::array<char, kTrailerSize> sentinel{};
  std::uint32_t got = 0;
  const bool inStep = connection_.Receive(sentinel.data(), kTrailerSize, &got) &&
                      got == kTrailerSize &&
                      std::memcmp(sentinel.data(), kZeroSentinel, kTrailerSize) == 0;
  return inStep ? FetchResult::NextFile : FetchResult::AbortPass;
}

std::optional<std::uint64_t> FileFetch::DecideResume(PartialFile& partial, std::uint64_t total) {
  // Resume only a partial file of this very version of the file (the service's time) that is
  // shorter than it; anything else is written anew from the start. A request that went ahead
  // asked for the offset the list gave: the whole file always fits, a resume only when the
  // header gives the same.
  const std::uint64_t wanted = partial.ResumeOffset(total);
  std::uint64_t offset = wanted;
  if (!plan_.ahead) {
    connection_.Queue(OffsetRequest(offset));
  } else if (*plan_.ahead == 0) {
    offset = 0;
  } else if (*plan_.ahead != wanted) {
    return std::nullopt;
  }
  if (offset != 0) {
    Say(Message::Resuming, platform::LowWord(offset), platform::HighWord(offset));
  }
  partial.StartAt(offset);
  return offset;
}

std::optional<FetchResult> FileFetch::ReceiveBody(PartialFile& partial, std::uint64_t length,
                                                  DigestPipeline& digest, int* notFetched) {
  // The body comes in pieces of whole blocks, each written at once and then handed to the digest
  // (on a thread of its own for a large body); the marks due are counted as block by block, so
  // the bar is the same. Under a rate limit each piece is what the limit gives, less than a block
  // at a low rate: the bar still counts only the blocks whole from the start of the body.
  std::int64_t remaining = static_cast<std::int64_t>(length);
  ProgressBar bar(remaining);
  const bool paced = rateLimit_.Limited();
  // The bytes still to come as the bar counts them, block by block, when `done` bytes are
  // written: the body less its blocks written whole.
  const auto blocksLeft = [length](std::uint64_t done) {
    return static_cast<std::int64_t>(length - done / kBlockSize * kBlockSize);
  };
  const auto fail = [&](MessageFor<> message, FetchResult then) {
    digest.Abandon();
    CountFailure(message, notFetched);
    partial.Keep(true);
    return then;
  };
  // The rest of a body that cannot be written is read past, so that the next file's reply is
  // read in step.
  const auto drainRest = [&](std::uint64_t rest) {
    return DrainBody(connection_, rest, &rateLimit_) ? FetchResult::NextFile
                                                     : FetchResult::AbortPass;
  };
  bar.DrawRuler();
  std::uint32_t capacity =
      static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, kReceiveSize));
  // Short of memory for whole receives, the body is taken block by block.
  if (!digest.Start(length, capacity)) {
    capacity = std::min(capacity, kBlockSize);
    if (!digest.Start(length, capacity)) {
      fail(Message::LocalWriteError, FetchResult::NextFile);
      return drainRest(length);
    }
  }
  while (remaining != 0) {
    std::uint32_t want = static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, capacity));
    if (paced) want = rateLimit_.Take(want);
    char* block = digest.NextBlock();
    std::uint32_t got = 0;
    if (!connection_.Receive(block, want, &got)) {
      return fail(Message::BodyConnectionLost, FetchResult::AbortPass);
    }
    std::uint32_t written = 0;
    if (!partial.Write(block, got, &written)) {
      // The blocks written whole before the failing one still count on the bar.
      bar.Show(blocksLeft(length - static_cast<std::uint64_t>(remaining) + written));
      fail(Message::LocalWriteError, FetchResult::NextFile);
      return drainRest(static_cast<std::uint64_t>(remaining) - got);
    }
    digest.Digest(got);
    remaining -= written;
    bar.Show(remaining == 0 ? 0 : blocksLeft(length - static_cast<std::uint64_t>(remaining)));
  }
  return std::nullopt;
}

std::optional<FetchResult> FileFetch::CheckTrailer(PartialFile& partial, DigestPipeline& digest,
                                                   int* notFetched) {
  // The service's digest of exactly the bytes of this body.
  std::array<std::uint8_t, kTrailerSize> trailer{};
  std::uint32_t trailerLength = 0;
  if (!connection_.Receive(trailer.data(), kTrailerSize, &trailerLength) ||
      trailerLength != kTrailerSize) {
    CountFailure(Message::DigestConnectionLost, notFetched);
    partial.Keep(false);
    return FetchResult::AbortPass;
  }
  std::array<std::uint8_t, kMd5DigestSize> computed{};
  digest.Finish(computed.data());
  Say(Message::TransferComplete);
  Say(Message::DigestLine, Md5ToHex(computed.data()).c_str());
  Say(Message::DigestLine, Md5ToHex(trailer.data()).c_str());
  if (std::memcmp(computed.data(), trailer.data(), kTrailerSize) != 0) {
    CountFailure(Message::DigestMismatch, notFetched);
    partial.Discard();
    return FetchResult::NextFile;
  }
  return std::nullopt;
}

FetchOutcome FileFetch::PutInPlace(const char* name, PartialFile& partial, int* notFetched) {
  // Exactly the received bytes, the service's time, then the file's own name. A file that
  // cannot be finished is not put in place, counts as not fetched and is never deleted on the
  // service. The local copy reaches stable storage only when the service's copy is deleted:
  // file by file, or for many files held whole in their partial files at once.
  if (!partial.Finish(plan_.finish == Finish::DurablyInPlace)) {
    CountFailure(Message::LocalWriteError, notFetched);
    return FetchResult::NextFile;
  }
  if (plan_.finish == Finish::Held) {
    FetchOutcome held(FetchResult::Fetched);
    held.held = HeldFile{name, partial.Path(), partial.FinalPath()};
    return held;
  }
  if (!partial.MoveIntoPlace(plan_.finish == Finish::DurablyInPlace)) {
    CountFailure(Message::RenameFailed, notFetched);
    return FetchResult::NextFile;
  }
  FetchOutcome fetched(FetchResult::Fetched);
  fetched.durable = partial.IsDurable();
  return fetched;
}

bool FileFetch::DrainBody(Connection& connection, std::uint64_t length, RateLimit* rateLimit) {
  std::array<char, kBlockSize> scratch;
  // The trailer is read with the rest; under a limit its 16 bytes count too.
  length += kTrailerSize;
  const bool paced = rateLimit != nullptr && rateLimit->Limited();
  while (length > 0) {
    std::uint32_t want = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, kBlockSize));
    if (paced) want = rateLimit->Take(want);
    std::uint32_t got = 0;
    if (!connection.Receive(scratch.data(), want, &got) || got != want) return false;
    length -= got;
  }
  return true;
}

bool FileFetch::DrainExchange(Connection& connection, std::uint64_t offset) {
  std::array<char, kReplyLineLimit> line{};
  if (!connection.ReadLine(line.data(), kReplyLineLimit)) return false;
  if (!FetchAgent::IsAccepted(line.data())) {
    return ReadOffsetAnswer(connection, line.data()) == OffsetAnswer::Refused;
  }
  Header header;
  if (!ReadHeader(connection, line.data(), &header, false)) return false;
  return header.size != 0 && DrainBody(connection, BodyLength(header.size, offset));
}

}  // namespace quarv::agent
