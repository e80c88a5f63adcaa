// The MD5 digest of a body, brought up to date on a thread of its own while the body is read,
// sent, received or written: each side of a transfer runs at the speed of its digest instead of
// digest and I/O one after the other.
//
// The body passes through a small fixed ring of blocks. The caller fills the block NextBlock
// gives, hands it over with Digest, and may go on reading it (to send or write it) until its next
// NextBlock; the digest thread reads it meanwhile. NextBlock waits while every block of the ring
// is still being digested, so memory stays at the ring whatever the body size.
//
// A body below kThreadedBodySize is digested in Digest itself, in one block of its own size:
// starting a thread would cost more than it saves.
//
// Threads: one caller (a session's thread, or the agent's) calls every public function; Run is
// the digest thread. The count of blocks handed over and digested, their lengths and the end are
// shared under mutex_. The digest context and the blocks' bytes are handed over by those counts:
// a block belongs to the digest thread from Digest until its digest is counted, the context from
// Start until the thread has ended.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <thread>

#include "common/md5.h"
#include "common/thread_annotations.h"

namespace quarv {

class DigestPipeline {
 public:
  // Blocks in the ring: the reader can run this many blocks ahead of the digest.
  static constexpr std::uint32_t kRingBlocks = 4;
  // Bodies from this size on are digested on a thread of their own.
  static constexpr std::uint64_t kThreadedBodySize = std::uint64_t{1024} * 1024;

  DigestPipeline() = default;
  DigestPipeline(const DigestPipeline&) = delete;
  DigestPipeline& operator=(const DigestPipeline&) = delete;
  ~DigestPipeline();  // abandons a digest not finished

  // Ready for a body of `bodySize` bytes handed over in blocks of up to `blockSize` bytes. Each
  // block has room for kMd5DigestSize more bytes behind it (for the digest to leave with the
  // last bytes of the body). False when there is no memory for even one block.
  bool Start(std::uint64_t bodySize, std::uint32_t blockSize) EXCLUDES(mutex_);

  // The block to fill next: blockSize bytes and the room behind them. After Digest the caller
  // may still read it, up to its next call of NextBlock.
  char* NextBlock() EXCLUDES(mutex_);
  // The first `length` bytes of the block NextBlock gave are the next bytes of the body.
  void Digest(std::uint32_t length) EXCLUDES(mutex_);
  // Waits for the digest of every byte handed over; `digest` takes kMd5DigestSize bytes.
  void Finish(std::uint8_t* digest) EXCLUDES(mutex_);
  // Drops the digest (the body failed); waits only for the block being digested. Harmless when
  // not started, finished or abandoned already.
  void Abandon() EXCLUDES(mutex_);

 private:
  void Run() EXCLUDES(mutex_);
  void Stop(bool abandon) EXCLUDES(mutex_);

  Md5Context context_{};
  std::array<std::unique_ptr<char[]>, kRingBlocks> blocks_;
  // Blocks in use (1 when digested in Digest); set by Start before the thread runs.
  std::uint32_t ringSize_ = 0;
  Mutex mutex_;
  std::array<std::uint32_t, kRingBlocks> lengths_ GUARDED_BY(mutex_){};
  std::uint64_t handedOver_ GUARDED_BY(mutex_) = 0;
  std::uint64_t digested_ GUARDED_BY(mutex_) = 0;
  bool finishing_ GUARDED_BY(mutex_) = false;
  bool abandoned_ GUARDED_BY(mutex_) = false;
  std::condition_variable work_;  // the digest thread waits for a block or the end
  std::condition_variable room_;  // the caller waits for a block to come free
  std::thread thread_;
};

}  // namespace quarv
