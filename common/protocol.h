// The vocabulary of the wire protocol that both programs share: its limits, the default port,
// the keys of the header and listing lines, the zero sentinel and the service's reply lines.
// Every protocol line ends in CR LF.
#pragma once

#include <cstdint>

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

// The keys of the listing records, the GET header and the client's offset line; each is
// followed by a space and its value.
inline constexpr char kNameKey[] = "FileName:";
inline constexpr char kSizeKey[] = "FileSize:";
inline constexpr char kTimeKey[] = "LastWrite:";
inline constexpr char kOffsetKey[] = "Offset:";

// Sent in place of body and digest when the client asks from the end of the file or beyond.
inline constexpr char kZeroSentinel[] = "0000000000000000";
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

}  // namespace quarv
