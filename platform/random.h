// The operating system's cryptographically secure random generator.
#pragma once

#include <cstddef>

namespace quarv::platform {

// Fills `buffer` with `length` random bytes. Returns false when the system cannot supply them.
bool SecureRandom(void* buffer, std::size_t length);

}  // namespace quarv::platform
