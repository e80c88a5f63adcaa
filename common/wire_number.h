// Numbers on the wire and in the settings.
#pragma once

#include <cstdint>
#include <string>

namespace quarv {

// Reads a decimal number the way the protocol does: leading white space skipped, an optional
// sign, digits up to the first other character; no digits give 0. The value is taken modulo 2^32.
std::uint32_t ParseWord(const char* text);
// The same reading as a signed 32-bit number (settings such as PORT and TRY).
std::int32_t ParseInt(const char* text);

// A 64-bit quantity as the wire carries it: "low high", both "%u".
std::string FormatWords(std::uint64_t value);
// Reads "low high" (the text after a label). False when there is no blank, that is no second
// number; the words are then left untouched.
bool ParseWords(const char* text, std::uint32_t* low, std::uint32_t* high);

}  // namespace quarv
