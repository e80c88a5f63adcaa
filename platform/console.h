// Console output. Messages are written in UTF-8 in the sources; on Windows they go out as code
// page 932 bytes, on Linux as they are. Every write reaches a terminal at once.
#pragma once

#include <cstddef>
#include <string>

namespace quarv::platform {

// Converts a UTF-8 message text into the bytes the console expects (code page 932 on Windows,
// unchanged on Linux). Format strings are converted before formatting, so that arguments such as
// file names pass through as they are.
std::string ToConsoleBytes(const char* utf8);

// Writes bytes to standard output. To a terminal they appear at once; to a file or pipe they may
// be buffered until ConsoleFlush or the end of the process.
void ConsoleWrite(const char* bytes, std::size_t length);
void ConsoleFlush();

}  // namespace quarv::platform
