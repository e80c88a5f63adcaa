// NetLibrary: pairs one holder's start-up of the socket library with its clean-up.
#pragma once

#include <cstdint>

#include "platform/net.h"

namespace quarv {

class NetLibrary {
 public:
  NetLibrary() = default;
  ~NetLibrary() { Cleanup(); }
  NetLibrary(const NetLibrary&) = delete;
  NetLibrary& operator=(const NetLibrary&) = delete;

  // Starts the library asking for exactly major.minor; true only when that version came back.
  // A holder that has already started stops the library first.
  bool Startup(std::uint8_t major, std::uint8_t minor);
  // Stops the library when this holder started it.
  void Cleanup();

  bool IsStarted() const { return started_ != 0; }

 private:
  std::int32_t started_ = 0;
  platform::NetStartupData startupData_;
  std::uint16_t requestedVersion_ = 0;
};

}  // namespace quarv
