// The file names that GET and DELE accept.
#pragma once

#include <cstddef>

namespace quarv {

// True when base prefix plus name stays below the name limit of the file commands.
bool NameFits(std::size_t prefixLength, const char* name);

// True when `name` would reach outside the base directory: an absolute name, or one with a ".."
// component. Such names are refused without touching the file system. A name that reaches
// into a subdirectory ("sub/file") stays allowed.
bool NameLeavesBase(const char* name);

}  // namespace quarv
