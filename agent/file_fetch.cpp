// The fetch of one file: GET and its header, the resume decision, the body into the partial
// file with a progress bar and the digest, the check against the service's digest, and the
// finished file put in place with the service's last-write time.
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
// A file whose GET went ahead (agent_pass.cpp) was asked for with its offset line in the same
// breath: its exchange here reads the replies only. A refused GET leaves that offset line to be
// answered by the service as an unknown command, which is read and dropped. The offset that went
// ahead for a partial file was decided from the list; when the header tells of another version
// of the file (it changed after the list) and the lock-step decision would differ, a resume
// offset is never used: the body is read and dropped, the stale partial file removed, and the
// file counted as not fetched for a later try. An offset of 0 always fits: the file is written
// from its start.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "agent/console_output.h"
#include "agent/fetch_agent.h"
#include "agent/partial_file.h"
#include "agent/progress_bar.h"
#include "agent/requests.h"
#include "common/md5.h"
#include "common/protocol.h"
#include "common/split_token.h"
#include "common/wire_number.h"

namespace quarv::agent {
namespace {

// Larger bodies cannot be counted in the signed arithmetic of the progress bar.
constexpr std::uint64_t kMaxBodySize = INT64_MAX / kProgressMarks;

static_assert(sizeof kZeroSentinel - 1 == kTrailerSize, "the sentinel stands in for the trailer");

}  // namespace

FetchResult FetchAgent::FetchFile(const char* name, int* notFetched) {
  return Fetch(name, notFetched, std::nullopt);
}

FetchResult FetchAgent::Fetch(const char* name, int* notFetched,
                              std::optional<std::uint64_t> ahead) {
  fetchedDurably_ = false;
  unreadBody_.reset();
  // A name that would leave the base directory is not even asked for; nor is a name whose GET
  // line the service cannot take (it would end the connection): that one is skipped like a name
  // too long for the local path.
  if (!IsSafeLocalName(name)) {
    CountFailure(Message::LocalNameRefused, notFetched);
    return FetchResult::NextFile;
  }
  if (!RequestFits(name)) {
    CountFailure(Message::LocalNameTooLong, notFetched);
    return FetchResult::NextFile;
  }
  if (const auto end = Request(name, ahead.has_value(), notFetched)) return *end;

  FileHeader header;
  if (!ReadHeader(&header)) return FetchResult::AbortPass;
  // Nothing to receive. The service still waits for an offset line; the pass ends with QUIT.
  if (header.size == 0 || header.size > kMaxBodySize) {
    CountFailure(Message::InvalidResponse, notFetched);
    // A file emptied after the list: the offset line that went ahead is answered with the zero
    // sentinel, which is read past like a body, so that the replies behind it can still be read.
    if (ahead && header.size == 0) unreadBody_ = 0;
    return FetchResult::EndPass;
  }
  Say(Message::TransferStarting);

  if (!LocalPathFits(name, kFetchPathLimit)) {
    CountFailure(Message::LocalNameTooLong, notFetched);
    return SkipBody(header.size, ahead);
  }
  PartialFile partial(localBase, name, header.haveTime, header.time);
  if (!partial.IsOpen()) {
    CountFailure(Message::PartialNotCreated, notFetched);
    return SkipBody(header.size, ahead);
  }
  const std::optional<std::uint64_t> offset = DecideResume(partial, header.size, ahead);
  if (!offset) {
    // Its bytes would land at the wrong place: none is written, the stale partial file goes.
    CountFailure(Message::DigestMismatch, notFetched);
    partial.Discard();
    return SkipBody(header.size, ahead);
  }

  DigestPipeline digest;
  if (const auto end = ReceiveBody(partial, header.size - *offset, digest, notFetched)) {
    return *end;
  }
  if (const auto end = CheckTrailer(partial, digest, notFetched)) return *end;
  return PutInPlace(name, partial, notFetched);
}

void FetchAgent::CountFailure(MessageFor<> message, int* notFetched) {
  Say(message);
  ++*notFetched;
}

std::optional<FetchResult> FetchAgent::Request(const char* name, bool requested, int* notFetched) {
  if (!requested) Send(GetRequest(name));
  if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return FetchResult::AbortPass;
  if (IsAccepted(line_.data())) return std::nullopt;
  Say(Message::GetRefused, name, line_.data());
  ++*notFetched;
  // The offset line that went with the request is answered as an unknown command. A lost
  // connection shows at the next request, as it would without it; an accepted reply here means
  // the service is out of step.
  if (requested && connection.ReadLine(line_.data(), kReplyLineLimit) && IsAccepted(line_.data())) {
    return FetchResult::AbortPass;
  }
  return FetchResult::NextFile;
}

bool FetchAgent::ReadHeader(FileHeader* header) {
  for (;;) {
    if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return false;
    if (line_[0] == '\0') return true;  // the empty line that ends the header
    const char* value = SplitToken(line_.data());
    if (value == nullptr) continue;
    std::uint32_t low = 0, high = 0;
    if (std::strcmp(line_.data(), kSizeKey) == 0) {
      if (!ParseWords(value, &low, &high)) continue;
      header->size = platform::MakeWide(low, high);
      char sizeText[kSizeTextCapacity];
      Say(Message::FileSizeLine, low, high, SizeText(sizeText, sizeof sizeText, low, high));
    } else if (std::strcmp(line_.data(), kTimeKey) == 0) {
      if (!ParseWords(value, &low, &high)) continue;
      header->time = platform::MakeWide(low, high);
      header->haveTime = true;
    }
  }
}

FetchResult FetchAgent::SkipBody(std::uint64_t size, std::optional<std::uint64_t> ahead) {
  // A body that is not wanted still has to pass: declined when it has not been asked for yet,
  // read and dropped when it has.
  const bool inStep = ahead ? DrainBody(BodyLength(size, *ahead)) : DeclineBody(size);
  return inStep ? FetchResult::NextFile : FetchResult::AbortPass;
}

bool FetchAgent::DeclineBody(std::uint64_t size) {
  Send(OffsetRequest(size));
  std::array<char, kTrailerSize> sentinel{};
  std::uint32_t got = 0;
  return connection.Receive(sentinel.data(), kTrailerSize, &got) && got == kTrailerSize &&
         std::memcmp(sentinel.data(), kZeroSentinel, kTrailerSize) == 0;
}

bool FetchAgent::DrainBody(std::uint64_t length) {
  std::array<char, kBlockSize> scratch;
  length += kTrailerSize;
  while (length > 0) {
    const std::uint32_t want =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(length, kBlockSize));
    std::uint32_t got = 0;
    if (!connection.Receive(scratch.data(), want, &got) || got != want) return false;
    length -= got;
  }
  return true;
}

std::optional<std::uint64_t> FetchAgent::DecideResume(PartialFile& partial, std::uint64_t total,
                                                      std::optional<std::uint64_t> ahead) {
  // Resume only a partial file of this very version of the file (the service's time) that is
  // shorter than it; anything else is written anew from the start. A request that went ahead
  // asked for the offset the list gave: the whole file always fits, a resume only when the
  // header gives the same.
  const std::uint64_t wanted = partial.ResumeOffset(total);
  std::uint64_t offset = wanted;
  if (!ahead) {
    Send(OffsetRequest(offset));
  } else if (*ahead == 0) {
    offset = 0;
  } else if (*ahead != wanted) {
    return std::nullopt;
  }
  if (offset != 0) {
    Say(Message::Resuming, platform::LowWord(offset), platform::HighWord(offset));
  }
  partial.StartAt(offset);
  return offset;
}

std::optional<FetchResult> FetchAgent::ReceiveBody(PartialFile& partial, std::uint64_t length,
                                                   DigestPipeline& digest, int* notFetched) {
  // The body comes in pieces of whole blocks, each written at once and then handed to the digest
  // (on a thread of its own for a large body); the marks due are counted as block by block, so
  // the bar is the same.
  std::int64_t remaining = static_cast<std::int64_t>(length);
  ProgressBar bar(remaining);
  const auto fail = [&](MessageFor<> message, FetchResult then) {
    digest.Abandon();
    CountFailure(message, notFetched);
    partial.Keep(true);
    return then;
  };
  bar.DrawRuler();
  std::uint32_t capacity =
      static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, kReceiveSize));
  // Short of memory for whole receives, the body is taken block by block.
  if (!digest.Start(length, capacity)) {
    capacity = std::min(capacity, kBlockSize);
    if (!digest.Start(length, capacity)) {
      fail(Message::LocalWriteError, FetchResult::NextFile);
      return DrainBody(length) ? FetchResult::NextFile : FetchResult::AbortPass;
    }
  }
  while (remaining != 0) {
    const std::uint32_t want =
        static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, capacity));
    char* block = digest.NextBlock();
    std::uint32_t got = 0;
    if (!connection.Receive(block, want, &got)) {
      return fail(Message::BodyConnectionLost, FetchResult::AbortPass);
    }
    std::uint32_t written = 0;
    if (!partial.Write(block, got, &written)) {
      // The blocks written whole before the failing one still count on the bar. The rest of the
      // body and its digest are read past, so that the next file's reply is read in step.
      bar.Show(remaining - static_cast<std::int64_t>(written / kBlockSize * kBlockSize));
      fail(Message::LocalWriteError, FetchResult::NextFile);
      return DrainBody(static_cast<std::uint64_t>(remaining) - got) ? FetchResult::NextFile
                                                                    : FetchResult::AbortPass;
    }
    digest.Digest(got);
    remaining -= written;
    bar.Show(remaining);
  }
  return std::nullopt;
}

std::optional<FetchResult> FetchAgent::CheckTrailer(PartialFile& partial, DigestPipeline& digest,
                                                    int* notFetched) {
  // The service's digest of exactly the bytes of this body.
  std::array<std::uint8_t, kTrailerSize> trailer{};
  std::uint32_t trailerLength = 0;
  if (!connection.Receive(trailer.data(), kTrailerSize, &trailerLength) ||
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

FetchResult FetchAgent::PutInPlace(const char* name, PartialFile& partial, int* notFetched) {
  // Exactly the received bytes, the service's time, then the file's own name. A file that
  // cannot be finished is not put in place, counts as not fetched and is never deleted on the
  // service. The local copy reaches stable storage only when the service's copy is deleted:
  // file by file, or for many files held whole in their partial files at once.
  if (!partial.Finish(deleteFile && !syncInBatches_)) {
    CountFailure(Message::LocalWriteError, notFetched);
    return FetchResult::NextFile;
  }
  if (syncInBatches_) {
    held_.push_back(HeldFile{name, partial.Path(), partial.FinalPath()});
    return FetchResult::Fetched;
  }
  if (!partial.MoveIntoPlace(deleteFile)) {
    CountFailure(Message::RenameFailed, notFetched);
    return FetchResult::NextFile;
  }
  fetchedDurably_ = partial.IsDurable();
  return FetchResult::Fetched;
}

}  // namespace quarv::agent
