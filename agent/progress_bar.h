// The progress bar of one body: a ruler of two lines, then up to kProgressMarks marks beneath it
// as the body comes in. The marks are written without a line end, so that a message after a
// broken body continues their line.
#pragma once

#include <cstdint>

namespace quarv::agent {

// The progress bar has this many marks.
inline constexpr std::int64_t kProgressMarks = 50;

class ProgressBar {
 public:
  // A bar over a body of `total` bytes (more than 0).
  explicit ProgressBar(std::int64_t total) : total_(total) {}

  // Prints the two ruler lines.
  void DrawRuler() const;
  // Writes the marks due, at once, when `remaining` bytes of the body are still to come.
  void Show(std::int64_t remaining);

 private:
  std::int64_t total_;
  std::int64_t marks_ = 0;  // marks written so far
};

}  // namespace quarv::agent
