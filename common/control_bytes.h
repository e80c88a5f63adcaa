// Text from the network on a console or in a log: a name may hold any byte but NUL, and a
// control byte shown raw would move the cursor, recolour the terminal or forge a line.
#pragma once

#include <string>

namespace quarv {

// Appends `text` to `out` with every control byte (below 0x20, and 0x7F) written as "\xNN" in
// upper-case hexadecimal. With `quoted`, a quote or backslash also gets a backslash before it,
// for a text shown between quotes. Every other byte passes unchanged (UTF-8 and code page 932
// alike: no byte of a multi-byte character is a control byte).
void AppendEscaped(std::string& out, const char* text, bool quoted = false);

}  // namespace quarv
