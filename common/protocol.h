// The vocabulary of the wire protocol that both programs share: its limits, the default port,
// the command words, the keys of the header and listing lines, the zero sentinel and the
// service's reply lines, with the few lines that carry a value built from them. Every protocol
// line ends in CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quarv {

// Protocol lines from clients are read with this limit: at most kLineLimit - 2 bytes fit before
// the line end. A longer line ends the session.
inline constexpr std::int32_t kLineLimit = 200;
// The bytes of a request line before its CR LF that the service still takes.
inline constexpr std::int32_t kLongestRequestLine = kLineLimit - 2;
// The highest TCP port; a PORT setting above it is refused, never cut to 16 bits.
inline constexpr std::int32_t kHighestPort = 65535;
// The port both programs use when their settings name none.
inline constexpr char kDefaultPort[] = "5999";

// Every protocol line ends in these two bytes.
inline constexpr char kLineEnd[] = "\r\n";

// The command words. A request line is the word, and for ENTER, GET and DELE a blank and the
// argument; the service compares the word exactly, in upper case.
inline constexpr char kQuitCommand[] = "QUIT";
inline constexpr char kHeloCommand[] = "HELO";
inline constexpr char kEnterCommand[] = "ENTER";
inline constexpr char kListCommand[] = "LIST";
inline constexpr char kGetCommand[] = "GET";
inline constexpr char kDeleCommand[] = "DELE";

// The keys of the listing records, the GET header and the client's offset line; each is
// followed by a space and its value.
inline constexpr char kNameKey[] = "FileName:";
inline constexpr char kSizeKey[] = "FileSize:";
inline constexpr char kTimeKey[] = "LastWrite:";
inline constexpr char kOffsetKey[] = "Offset:";

// Sent in place of body and digest when the client asks from the end of the file or beyond.
inline constexpr char kZeroSentinel[] = "0000000000000000";
inline constexpr std::int32_t kZeroSentinelSize = sizeof kZeroSentinel - 1;
// The line that ends a listing.
inline constexpr char kListEnd[] = ".\r\n";

// The service's reply lines.
inline constexpr char kWelcome[] = "200 Welcome.\r\n";
inline constexpr char kGoodBye[] = "200 GoodBye.\r\n";
inline constexpr char kListOfFiles[] = "200 List of files.\r\n";
inline constexpr char kFileTransfer[] = "200 File Transfer.\r\n";
inline constexpr char kFileDeleted[] = "200 File Deleted.\r\n";
inline constexpr char kBadRequest[] = "400 Bad Request.\r\n";
inline constexpr char kUnknownMessage[] = "400 Unknown Message.\r\n";
inline constexpr char kUnauthorized[] = "401 Unauthorized.\r\n";
inline constexpr char kFileNotFound[] = "404 File Not Found\r\n";
inline constexpr char kPathNotFound[] = "404 Path Not Found\r\n";
inline constexpr char kConflict[] = "409 Conflict.\r\n";
inline constexpr char kNameTooLarge[] = "413 File Name Too Large.\r\n";
inline constexpr char kCannotDelete[] = "500 File Cannot Delete.\r\n";
inline constexpr char kServiceUnavailable[] = "503 Service Unavailable\r\n";
// The reply to HELO begins with this status; the challenge follows.
inline constexpr char kChallengeStatus[] = "200 ";
// The reply to a GET whose file cannot be opened for another reason than the three above
// begins with this status; the error code, a comma and a short text follow.
inline constexpr char kUnknownErrorStatus[] = "404 Unknown Error=";
// The bytes of the text after the comma in that reply, at most.
inline constexpr std::size_t kUnknownErrorTextLimit = 100;

// A header or listing line: the key, a blank, the value, the line end.
inline std::string KeyLine(const char* key, const std::string& value) {
  return std::string(key) + " " + value + kLineEnd;
}

// "200 <challenge>\r\n".
inline std::string ChallengeReply(const char* challenge) {
  return std::string(kChallengeStatus) + challenge + kLineEnd;
}

// "404 Unknown Error=<code>,<text>\r\n", the text cut to kUnknownErrorTextLimit bytes (and at a
// NUL byte).
inline std::string UnknownErrorReply(std::uint32_t code, const char* text) {
  return kUnknownErrorStatus + std::to_string(code) + "," +
         std::string(text).substr(0, kUnknownErrorTextLimit) + kLineEnd;
}

// A reply line without its line end, as the service's log shows it.
inline std::string ReplyText(const char* reply) {
  std::string text = reply;
  if (text.ends_with(kLineEnd)) text.resize(text.size() - (sizeof kLineEnd - 1));
  return text;
}

}  // namespace quarv
