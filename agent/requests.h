// The request lines the agent sends. Every line ends in CR LF.
#pragma once

#include <cstddef>
#include <string>

#include "common/protocol.h"

namespace quarv::agent {

inline constexpr char kHeloRequest[] = "HELO\r\n";
inline constexpr char kListRequest[] = "LIST\r\n";
inline constexpr char kQuitRequest[] = "QUIT\r\n";
// The GET lines are formed with the rest of the GET exchange (file_fetch.cpp).
inline constexpr char kGetCommand[] = "GET ";
inline constexpr char kDeleteCommand[] = "DELE ";
inline constexpr char kEnterCommand[] = "ENTER ";

// The longest name the service can take in a request line ("GET " or "DELE " and the name,
// before the line end).
inline constexpr std::size_t kLongestGetName =
    static_cast<std::size_t>(kLongestRequestLine) - (sizeof kGetCommand - 1);
inline constexpr std::size_t kLongestDeleteName =
    static_cast<std::size_t>(kLongestRequestLine) - (sizeof kDeleteCommand - 1);

// "DELE <name>\r\n".
std::string DeleteRequest(const std::string& name);
// "ENTER <token>\r\n".
std::string EnterRequest(const std::string& token);

}  // namespace quarv::agent
