#include "common/digest_pipeline.h"

#include <algorithm>
#include <new>
#include <system_error>

namespace quarv {

DigestPipeline::~DigestPipeline() {
  Abandon();
}

bool DigestPipeline::Start(std::uint64_t bodySize, std::uint32_t blockSize) {
  Abandon();
  Md5Init(&context_);
  {
    MutexLock lock(mutex_);
    handedOver_ = 0;
    digested_ = 0;
    finishing_ = false;
    abandoned_ = false;
  }
  ringSize_ = bodySize >= kThreadedBodySize ? kRingBlocks : 1;
  for (std::uint32_t i = 0; i < ringSize_; ++i) {
    blocks_[i].reset(new (std::nothrow) char[std::size_t{blockSize} + kMd5DigestSize]);
    if (!blocks_[i]) {
      ringSize_ = i;
      break;
    }
  }
  if (ringSize_ == 0) return false;
  // Without room for the reader to run ahead, or without a thread, the digest is taken in
  // Digest.
  if (ringSize_ < 2) return true;
  try {
    thread_ = std::thread(&DigestPipeline::Run, this);
  } catch (const std::system_error&) {
    ringSize_ = 1;
  }
  return true;
}

char* DigestPipeline::NextBlock() {
  MutexLock lock(mutex_);
  if (thread_.joinable()) {
    lock.Wait(room_, [this]() REQUIRES(mutex_) { return handedOver_ - digested_ < ringSize_; });
  }
  return blocks_[handedOver_ % ringSize_].get();
}

void DigestPipeline::Digest(std::uint32_t length) {
  if (!thread_.joinable()) {
    Md5Update(&context_, blocks_[0].get(), length);
    MutexLock lock(mutex_);
    ++handedOver_;
    return;
  }
  {
    MutexLock lock(mutex_);
    lengths_[handedOver_ % ringSize_] = length;
    ++handedOver_;
  }
  work_.notify_one();
}

void DigestPipeline::Run() {
  MutexLock lock(mutex_);
  for (;;) {
    lock.Wait(work_, [this]() REQUIRES(mutex_) {
      return abandoned_ || finishing_ || digested_ < handedOver_;
    });
    if (abandoned_ || digested_ == handedOver_) return;
    const std::uint64_t index = digested_ % ringSize_;
    const char* block = blocks_[index].get();
    const std::uint32_t length = lengths_[index];
    lock.Unlock();
    Md5Update(&context_, block, length);
    lock.Lock();
    ++digested_;
    room_.notify_one();
  }
}

void DigestPipeline::Stop(bool abandon) {
  if (!thread_.joinable()) return;
  {
    MutexLock lock(mutex_);
    (abandon ? abandoned_ : finishing_) = true;
  }
  work_.notify_one();
  thread_.join();
}

void DigestPipeline::Finish(std::uint8_t* digest) {
  Stop(false);
  Md5Final(&context_);
  std::copy(context_.digest, context_.digest + kMd5DigestSize, digest);
}

void DigestPipeline::Abandon() {
  Stop(true);
}

}  // namespace quarv
