// The request lines the agent sends. Every line ends in CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/protocol.h"

namespace quarv::agent {

inline constexpr char kHeloRequest[] = "HELO\r\n";
inline constexpr char kListRequest[] = "LIST\r\n";
inline constexpr char kQuitRequest[] = "QUIT\r\n";
inline constexpr char kGetCommand[] = "GET ";
inline constexpr char kDeleteCommand[] = "DELE ";
inline constexpr char kEnterCommand[] = "ENTER ";

// The longest name the service can take in a request line ("GET " or "DELE " and the name,
// before the line end).
inline constexpr std::size_t kLongestGetName =
    static_cast<std::size_t>(kLongestRequestLine) - (sizeof kGetCommand - 1);
inline constexpr std::size_t kLongestDeleteName =
    static_cast<std::size_t>(kLongestRequestLine) - (sizeof kDeleteCommand - 1);

// "GET <name>\r\n".
std::string GetRequest(const std::string& name);
// "DELE <name>\r\n".
std::string DeleteRequest(const std::string& name);
// "ENTER <token>\r\n".
std::string EnterRequest(const std::string& token);
// The offset line: "Offset: <low> <high>\r\n".
std::string OffsetRequest(std::uint64_t offset);
// A GET sent ahead: the request together with its offset line.
std::string GetAheadRequest(const std::string& name, std::uint64_t offset);

}  // namespace quarv::agent
