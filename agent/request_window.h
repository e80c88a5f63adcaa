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
#include <string>
#include <vector>

#include "agent/pending_file.h"

namespace quarv::agent {

// Small files on a path with long round trips need many requests in flight: with the window
// nearly full at any time, 1 KiB files at a round trip of 50 ms may arrive at 35000 a second,
// more than the agent writes. A refill waits for a batch of free places, so that a send carries
// many requests. The byte limit bounds the queued requests for longer names.
inline constexpr std::size_t kAheadFiles = 2048;
inline constexpr std::size_t kAheadRefill = kAheadFiles - 128;
inline constexpr std::size_t kAheadBytes = std::size_t{128} * 1024;

// With DELETEFILE, a listed file larger than this is asked for only once no DELE reply is
// outstanding, so that its progress shows as it arrives; smaller files go ahead past outstanding
// DELEs, their console output held until the replies are read.
inline constexpr std::uint64_t kLargestFileAheadOfDeletes = std::uint64_t{1024} * 1024;

// Whether the request of a pending file may go ahead.
enum class AheadChoice {
  Never,     // the file is never asked for (its fetch refuses the name): passed over
  LockStep,  // the file must be asked for in lock step: nothing goes ahead past it
  Ahead,     // its request may go ahead, with the offset the choice gives
};

// The window of one pass. It owns which requests went ahead and with which offsets; it needs the
// pass's pending files and the local base prefix, which must outlive it, and reads the names of
// the files from the one being fetched on. It forms no line itself (FileFetch::AheadRequest).
// Single-threaded: the agent's one thread makes every call.
class RequestWindow {
 public:
  // A window over `pending`, fetched into the local base `localBase`; with `deleting`
  // (DELETEFILE) a large file never goes ahead past an outstanding DELE.
  RequestWindow(const std::vector<PendingFile>& pending, const std::string& localBase,
                bool deleting);

  // Whether the request of pending file `index` went ahead.
  bool WentAhead(std::size_t index) const { return wentAhead_[index]; }
  // The offset asked for with the request of pending file `index` that went ahead.
  std::uint64_t OffsetAhead(std::size_t index) const { return offsets_[index]; }

  // Before pending file `index` is fetched: when the window is due for a refill, takes in the
  // requests of the files from `index` on, in order, as far as their choice lets them go ahead
  // and the window has room. Returns their lines, to be sent together (empty: none).
  std::string Refill(std::size_t index);
  // Sent together with the DELE of the file before it: pending file `index` goes ahead when its
  // choice lets it, however large, since its reply comes after the DELE's and nothing is held
  // while its body arrives. Returns its lines (empty: none).
  std::string TakeBesideDelete(std::size_t index);
  // The first pending file, from `index` on, whose request has not been considered for the window
  // yet: every request of a file before it that went ahead has been sent.
  std::size_t NextToConsider(std::size_t index) const {
    return considered_ > index ? considered_ : index;
  }
  // Pending file `index`, named `name`, is done with: a request of it that went ahead leaves the
  // window.
  void Done(std::size_t index, const std::string& name);

 private:
  // The one chooser: whether the request of pending file `index` may go ahead, and with which
  // offset (`*offset`, 0 unless set). A name that is fetched (safe, its paths fit) goes ahead:
  // without a partial file for the whole file; with one, for the offset the resume would take if
  // the header said what the list said (the fetch checks that against the header). Unless
  // `besideDelete`, with DELETEFILE a large file goes in lock step.
  AheadChoice Choose(std::size_t index, bool besideDelete, std::uint64_t* offset) const;
  // Takes the request of pending file `index` with its `offset` into the window; its lines are
  // appended to `requests`.
  void Take(std::size_t index, std::string* requests, std::uint64_t offset);

  const std::vector<PendingFile>& pending_;
  const std::string& localBase_;
  const bool deleting_;
  std::vector<bool> wentAhead_;
  // The offset each request that went ahead asked for.
  std::vector<std::uint64_t> offsets_;
  std::size_t considered_ = 0;  // the files before it have been considered for a refill
  std::size_t files_ = 0;       // requests in the window
  std::size_t bytes_ = 0;       // and their bytes
};

}  // namespace quarv::agent
