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

// "refused: " and the reply line, for the log.
std::string Refused(const char* reply) {
  return "refused: " + ReplyText(reply);
}

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
    default:
      connection.SendText(UnknownErrorReply(error.code, error.text.c_str()).c_str());
      return;
  }
}

// Opens the file that `name` asks for beneath the base prefix, or answers with the reply that
// says why not. `base` must outlive `file`.
bool OpenRequested(Connection& connection, const char* basePrefix, const char* name,
                   platform::BaseDirectory& base, platform::File& file, GetRecord& sent) {
  if (!NameFits(std::strlen(basePrefix), name)) {
    connection.SendText(kNameTooLarge);
    sent.outcome = Refused(kNameTooLarge);
    return false;
  }
  if (NameLeavesBase(name)) {
    connection.SendText(kFileNotFound);
    sent.outcome = Refused(kFileNotFound) + " (the name leaves the base directory)";
    return false;
  }
  // The name is resolved beneath the base directory: a link leading out of it is not followed.
  platform::SystemError error;
  if (base.Open(basePrefix, &error)) file = platform::File::OpenForSending(base, name, &error);
  if (file.IsOpen()) return true;
  SendOpenError(connection, error);
  sent.outcome =
      "refused: error " + std::to_string(error.code) + " (" + error.text + ") opening the file";
  return false;
}

// "200 File Transfer.", the size and last-write lines and the empty line that ends the header.
// Size and time come from `*announced`, the file's identity taken in one call. The header is
// queued: it leaves when the offset line is waited for, or just before the body (with TLS in
// the same record as a small body). False, with nothing queued, when the identity cannot be
// taken.
bool SendHeader(Connection& connection, const platform::File& file,
                platform::FileIdentity* announced) {
  if (!file.Identity(announced)) return false;
  connection.Queue(kFileTransfer + KeyLine(kSizeKey, FormatWords(announced->size)) +
                   KeyLine(kTimeKey, FormatWords(announced->lastWrite)) + kLineEnd);
  return true;
}

// The offset line: "Offset:", a blank, the low word, a blank, the high word. Any other line
// (no blank, another first word, one number only) means the whole file.
std::uint64_t OffsetFromLine(char* line) {
  char* low = SplitToken(line);
  if (low == nullptr || std::strcmp(line, kOffsetKey) != 0) return 0;
  const char* high = SplitToken(low);
  if (high == nullptr) return 0;
  return platform::MakeWide(ParseWord(low), ParseWord(high));
}

// The body from the file's position on, `remaining` bytes, and its digest right behind its last
// block. False when the body cannot be delivered whole: the client, waiting for the announced
// bytes, is then out of step. `sent` counts the body bytes sent.
//
// The digest is taken on a thread of its own while the next block is read and sent (for a small
// file, block by block on this one). Each block has room behind it for the digest: the last
// bytes of the body and the digest leave in one send, so the client never waits for a lone
// 16-byte segment. A small file needs only a small block. A failed read or send abandons the
// digest as the pipeline goes out of scope.
bool SendBody(Connection& connection, platform::File& file, std::uint64_t remaining,
              std::uint64_t* sent) {
  const auto blockSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, kBlockSize));
  DigestPipeline digest;
  if (!digest.Start(remaining, blockSize)) return false;
  while (remaining > 0) {
    const auto wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, blockSize));
    char* block = digest.NextBlock();
    std::uint32_t got = 0;
    // A read that fails, or a file that ends before the announced size (it has shrunk), cannot
    // be told to the client.
    if (!file.Read(block, wanted, &got) || got == 0) return false;
    remaining -= got;
    digest.Digest(got);
    std::uint32_t length = got;
    if (remaining == 0) {
      digest.Finish(reinterpret_cast<std::uint8_t*>(block + got));
      length += kMd5DigestSize;
    }
    // No digest follows a failed send.
    if (!connection.SendAll(block, static_cast<std::int32_t>(length))) return false;
    *sent += got;
  }
  return true;
}

}  // namespace

CommandResult FileServer::SendFile(Connection& connection, const char* name, GetRecord* record,
                                   SentFiles* sentFiles) {
  GetRecord unused;
  GetRecord& sent = record != nullptr ? *record : unused;
  platform::BaseDirectory base;
  platform::File file;
  if (!OpenRequested(connection, basePrefix_, name, base, file, sent)) {
    return CommandResult::Continue;
  }
  platform::FileIdentity announced;
  if (!SendHeader(connection, file, &announced)) return CommandResult::CloseConnection;
  // From here on the client may hold this file: a DELE of the name removes only it.
  if (sentFiles != nullptr) sentFiles->Remember(name, announced);
  const std::uint64_t size = announced.size;

  char line[kLineLimit];
  // A closed connection ends the session at its next read; the rest of an over-long line is
  // read by the session as its next command.
  if (!connection.ReadLine(line, kLineLimit)) return CommandResult::Continue;
  sent.offset = OffsetFromLine(line);

  // Nothing left to send, also for an offset beyond the end: the zero sentinel.
  if (sent.offset >= size) {
    connection.SendAll(kZeroSentinel, kZeroSentinelSize);
    sent.outcome = "completed (nothing left to send)";
    return CommandResult::Continue;
  }
  if (sent.offset != 0 && !file.Seek(sent.offset)) return CommandResult::CloseConnection;
  // A body that could not be delivered whole leaves the client out of step: the connection is
  // closed.
  if (!SendBody(connection, file, size - sent.offset, &sent.sent)) {
    return CommandResult::CloseConnection;
  }
  sent.outcome = "completed";
  return CommandResult::Continue;
}

}  // namespace quarv
