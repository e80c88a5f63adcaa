// The fetch of one file: GET and its header, the resume decision, the body into the partial
// file with a progress bar and the digest, the check against the service's digest, and the
// finished file put in place with the service's last-write time.
//
// The connection is never left out of step with the service. When the file is skipped after the
// header, the exchange is still ended (the offset asked for is the size, so that the service
// answers with its zero sentinel; a body asked for ahead is read and dropped). When the body
// cannot be written or the trailer is short, the pass ends there. Either way the failure itself
// counts as one file not fetched; the files the pass leaves untried are not counted, as with a
// lost connection.
//
// A file whose GET went ahead (agent_pass.cpp) was asked for with "Offset: 0 0" in the same
// breath: its exchange here reads the replies only. A refused GET leaves that Offset line to be
// answered by the service as an unknown command, which is read and dropped.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "agent/console_output.h"
#include "agent/fetch_agent.h"
#include "common/md5.h"
#include "common/protocol.h"
#include "common/split_token.h"
#include "common/wire_number.h"
#include "platform/file.h"

namespace quarv::agent {
namespace {

// Larger bodies cannot be counted in the signed arithmetic of the progress bar.
constexpr std::uint64_t kMaxBodySize = INT64_MAX / kProgressMarks;

std::string OffsetLine(std::uint64_t offset) {
  return std::string(kOffsetKey) + " " + FormatWords(offset) + "\r\n";
}

}  // namespace

bool FetchAgent::SettlePartial(platform::File& partial, std::uint64_t length, bool haveTime,
                               platform::FileTime serverTime) {
  // An earlier, longer partial file may lie beyond what this transfer wrote: it must not stay.
  const bool cut = partial.Seek(length) && partial.TruncateHere();
  return (!haveTime || StampPartial(partial, serverTime)) && cut;
}

bool FetchAgent::StampPartial(platform::File& partial, platform::FileTime serverTime) {
  // A time the file system cannot hold is refused, cut to its range or (on Windows, all bits
  // set) taken as "leave unchanged": only the time read back tells.
  platform::FileTime stamped = 0;
  return partial.SetTimes(serverTime) && partial.LastWriteTime(&stamped) && stamped == serverTime;
}

bool FetchAgent::DeclineBody(std::uint32_t sizeLow, std::uint32_t sizeHigh) {
  connection.SendText(OffsetLine(platform::MakeWide(sizeLow, sizeHigh)).c_str());
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

bool FetchAgent::CanRequestAhead(const char* name) const {
  if (!IsSafeLocalName(name) || !LocalPathFits(name, kFetchPathLimit)) return false;
  const std::string partialPath = localBase + kPartialPrefix + name;
  return !platform::FindEntry(partialPath.c_str(), nullptr);
}

bool FetchAgent::ReceiveBody(platform::File& partial, bool writable, std::uint64_t offset,
                             std::uint64_t total, bool haveTime, platform::FileTime serverTime,
                             DigestPipeline& digest, std::uint64_t* received, int* notFetched,
                             FetchResult* result) {
  // Progress bar and body. The body comes in pieces of whole blocks, each written at once and
  // then handed to the digest (on a thread of its own for a large body); the marks due are
  // counted as block by block, so the bar is the same.
  std::int64_t remaining = static_cast<std::int64_t>(total - offset);
  const std::int64_t initial = remaining;
  std::int64_t marks = 0;
  const auto showProgress = [&] {
    const std::int64_t due = kProgressMarks - remaining * kProgressMarks / initial;
    if (due > marks) SayMarks(static_cast<int>(due - marks));
    marks = due;
  };
  const auto fail = [&](Message message, std::uint64_t length, FetchResult then) {
    digest.Abandon();
    Say(message);
    SettlePartial(partial, length, haveTime, serverTime);
    partial.Close();
    ++*notFetched;
    *result = then;
    return false;
  };
  Say(Message::RulerScale);
  Say(Message::RulerBar);
  std::uint32_t capacity =
      static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, kReceiveSize));
  // Short of memory for whole receives, the body is taken block by block.
  if (!digest.Start(static_cast<std::uint64_t>(remaining), capacity)) {
    capacity = std::min(capacity, kBlockSize);
    if (!digest.Start(static_cast<std::uint64_t>(remaining), capacity)) {
      return fail(Message::LocalWriteError, *received, FetchResult::EndPass);
    }
  }
  while (remaining != 0) {
    const std::uint32_t want =
        static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, capacity));
    char* block = digest.NextBlock();
    std::uint32_t got = 0;
    if (!connection.Receive(block, want, &got)) {
      return fail(Message::BodyConnectionLost, *received, FetchResult::AbortPass);
    }
    std::uint32_t written = 0;
    if (!writable || !partial.Write(block, got, &written) || written != got) {
      // The blocks written whole before the failing one still count on the bar.
      remaining -= static_cast<std::int64_t>(written / kBlockSize * kBlockSize);
      showProgress();
      // The rest of the body is still on its way: the pass ends.
      return fail(Message::LocalWriteError, *received + written, FetchResult::EndPass);
    }
    digest.Digest(got);
    remaining -= written;
    *received += written;
    showProgress();
  }
  return true;
}

FetchResult FetchAgent::FetchFile(const char* name, int* notFetched) {
  return Fetch(name, notFetched, false);
}

FetchResult FetchAgent::Fetch(const char* name, int* notFetched, bool requested) {
  fetchedDurably_ = false;

  // A name that would leave the base directory is not even asked for.
  if (!IsSafeLocalName(name)) {
    Say(Message::LocalNameRefused);
    ++*notFetched;
    return FetchResult::NextFile;
  }

  // A name whose GET line the service cannot take would end the connection: skipped like a
  // name too long for the local path, and never asked for.
  if (!RequestFits(name)) {
    Say(Message::LocalNameTooLong);
    ++*notFetched;
    return FetchResult::NextFile;
  }

  // Request.
  if (!requested) {
    const std::string request = std::string("GET ") + name + "\r\n";
    connection.SendText(request.c_str());
  }
  if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return FetchResult::AbortPass;
  if (!IsAccepted(line_.data())) {
    Say(Message::GetRefused, name, line_.data());
    ++*notFetched;
    // The Offset line that went with the request is answered as an unknown command. A lost
    // connection shows at the next request, as it would without it; an accepted reply here
    // means the service is out of step.
    if (requested && connection.ReadLine(line_.data(), kReplyLineLimit) &&
        IsAccepted(line_.data())) {
      return FetchResult::AbortPass;
    }
    return FetchResult::NextFile;
  }

  // Header, up to the empty line.
  std::uint32_t sizeLow = 0, sizeHigh = 0, timeLow = 0, timeHigh = 0;
  bool haveTime = false;
  for (;;) {
    if (!connection.ReadLine(line_.data(), kReplyLineLimit)) return FetchResult::AbortPass;
    if (line_[0] == '\0') break;
    const char* value = SplitToken(line_.data());
    if (value == nullptr) continue;
    std::uint32_t low = 0, high = 0;
    if (std::strcmp(line_.data(), kSizeKey) == 0) {
      if (!ParseWords(value, &low, &high)) continue;
      sizeLow = low;
      sizeHigh = high;
      char sizeText[kSizeTextCapacity];
      Say(Message::FileSizeLine, low, high, SizeText(sizeText, sizeof sizeText, low, high));
    } else if (std::strcmp(line_.data(), kTimeKey) == 0) {
      if (!ParseWords(value, &low, &high)) continue;
      timeLow = low;
      timeHigh = high;
      haveTime = true;
    }
  }

  // Nothing to receive. The service still waits for an Offset line; the pass ends with QUIT.
  const std::uint64_t total = platform::MakeWide(sizeLow, sizeHigh);
  if (total == 0 || total > kMaxBodySize) {
    Say(Message::InvalidResponse);
    ++*notFetched;
    return FetchResult::EndPass;
  }

  Say(Message::TransferStarting);

  // A body that is not wanted still has to pass: declined when it has not been asked for yet,
  // read and dropped when it has.
  const auto skipBody = [&] {
    const bool inStep = requested ? DrainBody(total) : DeclineBody(sizeLow, sizeHigh);
    return inStep ? FetchResult::NextFile : FetchResult::AbortPass;
  };
  if (!LocalPathFits(name, kFetchPathLimit)) {
    Say(Message::LocalNameTooLong);
    ++*notFetched;
    return skipBody();
  }
  const std::string finalPath = localBase + name;
  const std::string partialPath = localBase + kPartialPrefix + name;
  platform::SystemError openError;
  platform::File partial = platform::File::OpenPartial(partialPath.c_str(), &openError);
  if (!partial.IsOpen()) {
    Say(Message::PartialNotCreated);
    ++*notFetched;
    return skipBody();
  }

  // Resume only a partial file of this very version of the file (the service's time) that is
  // shorter than it; anything else is written anew from the start. A request that went ahead
  // had no partial file and asked for the whole file.
  const platform::FileTime serverTime = platform::MakeWide(timeLow, timeHigh);
  std::uint64_t partialSize = 0;
  const bool sized = partial.Size(&partialSize);
  platform::FileTime partialTime = 0;
  std::uint64_t offset = 0;
  if (!requested) {
    if (haveTime && sized && partialSize != 0 && partialSize < total &&
        partial.LastWriteTime(&partialTime) && partialTime == serverTime) {
      offset = partialSize;
    }
    connection.SendText(OffsetLine(offset).c_str());
  }
  if (offset != 0) {
    Say(Message::Resuming, platform::LowWord(offset), platform::HighWord(offset));
  }
  bool writable = offset == 0 || partial.Seek(offset);  // a file opens at its start

  std::uint64_t received = offset;  // the length of good data in the partial file
  DigestPipeline digest;
  FetchResult failure = FetchResult::AbortPass;
  if (!ReceiveBody(partial, writable, offset, total, haveTime, serverTime, digest, &received,
                   notFetched, &failure)) {
    return failure;
  }

  // Trailer: the service's digest of exactly the bytes of this body.
  std::array<std::uint8_t, kTrailerSize> trailer{};
  std::uint32_t trailerLength = 0;
  if (!connection.Receive(trailer.data(), kTrailerSize, &trailerLength) ||
      trailerLength != kTrailerSize) {
    Say(Message::DigestConnectionLost);
    SettlePartial(partial, received, false, 0);
    partial.Close();
    ++*notFetched;
    return FetchResult::AbortPass;
  }

  // Verify.
  std::array<std::uint8_t, kMd5DigestSize> computed{};
  digest.Finish(computed.data());
  Say(Message::TransferComplete);
  Say(Message::DigestLine, Md5ToHex(computed.data()).c_str());
  Say(Message::DigestLine, Md5ToHex(trailer.data()).c_str());
  const bool verified = std::memcmp(computed.data(), trailer.data(), kTrailerSize) == 0;
  if (!verified) {
    Say(Message::DigestMismatch);
    partial.Close();
    platform::RemoveFile(partialPath.c_str());
    return FetchResult::NextFile;
  }

  // Finish: exactly the received bytes, the service's time, then the file's own name. Only a
  // partial file that was longer than what was received has to be cut. A cut, a time or a
  // close that fails (a full disk, a quota, a network file system, a time the file system
  // cannot hold) leaves the file unfinished, as a write error does: it is not put in place,
  // counts as not fetched and is never deleted on the service. The partial file keeps the
  // bytes; its time is not the service's, so the next fetch starts over.
  bool settled = sized && partialSize <= received
                     ? !haveTime || StampPartial(partial, serverTime)
                     : SettlePartial(partial, received, haveTime, serverTime);
  bool durable = settled && (!deleteFile || partial.Flush());
  settled = partial.Close() && settled;
  if (!settled) {
    Say(Message::LocalWriteError);
    ++*notFetched;
    return FetchResult::NextFile;
  }
  // An older file of the name (its time differed) gives way; the rename is tried first, since
  // mostly there is none.
  if (!platform::RenameNoReplace(partialPath.c_str(), finalPath.c_str()) &&
      (!platform::RemoveFile(finalPath.c_str()) ||
       !platform::RenameNoReplace(partialPath.c_str(), finalPath.c_str()))) {
    Say(Message::RenameFailed);
    return FetchResult::NextFile;
  }
  platform::SetNormalAttribute(finalPath.c_str());
  if (deleteFile) durable = durable && platform::FlushDirectoryEntry(finalPath.c_str());
  fetchedDurably_ = durable;
  return FetchResult::Fetched;
}

}  // namespace quarv::agent
