// GET: the whole exchange that sends one file.
//
//   client   GET <name>\r\n
//   service  200 File Transfer.\r\n           (or one error line, and the exchange ends)
//   service  FileSize: <low> <high>\r\n
//   service  LastWrite: <low> <high>\r\n
//   service  \r\n
//   client   Offset: <low> <high>\r\n         (any other line: from the first byte)
//   service  the file's bytes from the offset to its end, raw
//   service  their MD5 digest, 16 raw bytes; or, when no byte is left to send,
//            "0000000000000000" in place of body and digest
//
// Error lines: "413 File Name Too Large." (base prefix plus name too long), "404 File Not
// Found" (also for a name that a link leads out of the base directory), "404 Path Not Found",
// "409 Conflict." (being sent, or open for writing elsewhere),
// "404 Unknown Error=<code>,<text>" (any other failure; 5 for a read-only file).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/digest_pipeline.h"
#include "common/md5.h"
#include "common/protocol.h"
#include "common/split_token.h"
#include "common/wire_number.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "service/file_names.h"
#include "service/file_server.h"

namespace quarv {

namespace {

// The file is read and sent in blocks of up to this size. Larger than the agent's progress
// blocks: fewer reads and sends per byte, while a session still holds at most the digest's ring
// of four blocks (ten sessions about 5 MiB).
constexpr std::uint32_t kBlockSize = 128 * 1024;
constexpr std::int32_t kZeroSentinelSize = sizeof kZeroSentinel - 1;
// Room for "404 Unknown Error=" with a code and a short text.
constexpr std::size_t kErrorLineSize = 160;

void SendOpenError(Connection& connection, const platform::SystemError& error) {
  switch (error.code) {
    case platform::kErrorFileNotFound:
      connection.SendText(kFileNotFound);
      return;
    case platform::kErrorPathNotFound:
      connection.SendText(kPathNotFound);
      return;
    case platform::kErrorSharingViolation:
      connection.SendText(kConflict);
      return;
    default: {
      char line[kErrorLineSize];
      std::snprintf(line, sizeof line, "404 Unknown Error=%u,%.100s\r\n",
                    static_cast<unsigned>(error.code), error.text.c_str());
      connection.SendText(line);
      return;
    }
  }
}

// The offset line: "Offset:", a blank, the low word, a blank, the high word. Any other line
// (no blank, another first word, one number only) means the whole file.
std::uint64_t OffsetFromLine(char* line) {
  char* low = SplitToken(line);
  if (low == nullptr || std::strcmp(line, "Offset:") != 0) return 0;
  const char* high = SplitToken(low);
  if (high == nullptr) return 0;
  return platform::MakeWide(ParseWord(low), ParseWord(high));
}

}  // namespace

CommandResult FileServer::SendFile(Connection& connection, const char* name, GetRecord* record) {
  GetRecord unused;
  GetRecord& sent = record != nullptr ? *record : unused;
  if (!NameFits(PrefixLength(), name)) {
    connection.SendText(kNameTooLarge);
    sent.outcome = "refused: 413 File Name Too Large.";
    return CommandResult::Continue;
  }
  if (NameLeavesBase(name)) {
    connection.SendText(kFileNotFound);
    sent.outcome = "refused: 404 File Not Found (the name leaves the base directory)";
    return CommandResult::Continue;
  }

  // The name is resolved beneath the base directory: a link leading out of it is not followed.
  platform::SystemError error;
  platform::BaseDirectory base;
  platform::File file;
  if (base.Open(basePrefix_, &error)) file = platform::File::OpenForSending(base, name, &error);
  if (!file.IsOpen()) {
    SendOpenError(connection, error);
    sent.outcome =
        "refused: error " + std::to_string(error.code) + " (" + error.text + ") opening the file";
    return CommandResult::Continue;
  }
  std::uint64_t size = 0;
  platform::FileTime lastWrite = 0;
  if (!file.Size(&size) || !file.LastWriteTime(&lastWrite)) return CommandResult::CloseConnection;

  const std::string header = std::string(kFileTransfer) + kSizeKey + " " + FormatWords(size) +
                             "\r\n" + kTimeKey + " " + FormatWords(lastWrite) + "\r\n\r\n";
  connection.SendText(header.c_str());

  char line[kLineLimit];
  // A closed connection ends the session at its next read; the rest of an over-long line is
  // read by the session as its next command.
  if (!connection.ReadLine(line, kLineLimit)) return CommandResult::Continue;
  const std::uint64_t offset = OffsetFromLine(line);
  sent.offset = offset;

  // Nothing left to send, also for an offset beyond the end: the zero sentinel.
  if (offset >= size) {
    connection.SendAll(kZeroSentinel, kZeroSentinelSize);
    sent.outcome = "completed (nothing left to send)";
    return CommandResult::Continue;
  }
  if (offset != 0 && !file.Seek(offset)) return CommandResult::CloseConnection;

  // The digest is taken on a thread of its own while the next block is read and sent (for a
  // small file, block by block on this one). Each block has room behind it for the digest: the
  // last bytes of the body and the digest leave in one send, so the client never waits for a
  // lone 16-byte segment. A small file needs only a small block. A failed read or send abandons
  // the digest as the pipeline goes out of scope.
  std::uint64_t remaining = size - offset;
  const std::uint32_t blockSize =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, kBlockSize));
  DigestPipeline digest;
  if (!digest.Start(remaining, blockSize)) return CommandResult::CloseConnection;
  while (remaining > 0) {
    const std::uint32_t wanted =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, blockSize));
    char* block = digest.NextBlock();
    std::uint32_t got = 0;
    // A read that fails, or a file that ends before the announced size (it has shrunk), cannot
    // be told to the client, which waits for the announced bytes: the connection is closed.
    if (!file.Read(block, wanted, &got) || got == 0) return CommandResult::CloseConnection;
    remaining -= got;
    digest.Digest(got);
    std::uint32_t length = got;
    if (remaining == 0) {
      digest.Finish(reinterpret_cast<std::uint8_t*>(block + got));
      length += kMd5DigestSize;
    }
    // No digest follows a failed send.
    if (!connection.SendAll(block, static_cast<std::int32_t>(length))) {
      return CommandResult::CloseConnection;
    }
    sent.sent += got;
  }
  sent.outcome = "completed";
  return CommandResult::Continue;
}

}  // namespace quarv
