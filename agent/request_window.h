// The requests on their way ahead of the file being fetched: the GET of a later file together
// with its offset line, so that the service never waits for the agent between files.
// Replies are still read one file after another. The window holds at most kAheadFiles files in at
// most kAheadBytes bytes of request lines; it is refilled in one send once no more than
// kAheadRefill files are left asked for, so that it stays nearly full. The requests are queued on
// the connection, which hands them to the service while the agent reads the replies to earlier ones
// (Connection::Queue), so the window is not bound by what the socket buffers hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quarv::agent {

// Small files on a path with long round trips need many requests in flight: with the window
// nearly full at any time, 1 KiB files at a round trip of 50 ms may arrive at 35000 a second,
// more than the agent writes. A refill waits for a batch of free places, so that a send carries
// many requests. The byte limit bounds the queued requests for longer names.
inline constexpr std::size_t kAheadFiles = 2048;
inline constexpr std::size_t kAheadRefill = kAheadFiles - 128;
inline constexpr std::size_t kAheadBytes = std::size_t{128} * 1024;

// Whether the request of a pending file may go ahead.
enum class AheadChoice {
  Never,     // the file is never asked for (its fetch refuses the name): passed over
  LockStep,  // the file must be asked for in lock step: nothing goes ahead past it
  Ahead,     // its request may go ahead, with the offset the choice gives
};

class RequestWindow {
 public:
  // Says whether the request of a pending file may go ahead, and with which offset (`*offset`,
  // 0 unless set).
  using Chooser =
      std::function<AheadChoice(std::size_t index, const std::string& name, std::uint64_t* offset)>;

  // A window over a pass's `fileCount` pending files.
  explicit RequestWindow(std::size_t fileCount)
      : wentAhead_(fileCount, false), offsets_(fileCount, 0) {}

  // Whether the request of pending file `index` went ahead.
  bool WentAhead(std::size_t index) const { return wentAhead_[index]; }
  // The offset asked for with the request of pending file `index` that went ahead.
  std::uint64_t OffsetAhead(std::size_t index) const { return offsets_[index]; }

  // Before pending file `index` is fetched: when the window is due for a refill, takes in the
  // requests of the files from `index` on, in order, as far as `choose` lets them go ahead and
  // the window has room. Returns their lines, to be sent together (empty: none).
  std::string Refill(std::size_t index, const std::vector<std::string>& pending,
                     const Chooser& choose);
  // The first pending file, from `index` on, whose request has not been considered for the window
  // yet: every request of a file before it that went ahead has been sent.
  std::size_t NextToConsider(std::size_t index) const {
    return considered_ > index ? considered_ : index;
  }
  // Takes the request of pending file `index`, named `name`, with its `offset` into the window;
  // its lines are appended to `requests`.
  void Take(std::size_t index, const std::string& name, std::string* requests,
            std::uint64_t offset = 0);
  // Pending file `index`, named `name`, is done with: a request of it that went ahead leaves the
  // window.
  void Done(std::size_t index, const std::string& name);

 private:
  std::vector<bool> wentAhead_;
  // The offset each request that went ahead asked for.
  std::vector<std::uint64_t> offsets_;
  std::size_t considered_ = 0;  // the files before it have been considered for a refill
  std::size_t files_ = 0;       // requests in the window
  std::size_t bytes_ = 0;       // and their bytes
};

}  // namespace quarv::agent
