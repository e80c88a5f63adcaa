// Cuts a protocol line at its first blank.
#pragma once

namespace quarv {

// If `line` holds a blank (0x20; a tab does not count), the first one is overwritten with a NUL
// and the text after it is returned (possibly empty). Otherwise the line is unchanged and the
// result is nullptr.
char* SplitToken(char* line);

}  // namespace quarv
