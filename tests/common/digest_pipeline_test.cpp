#include "common/digest_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/md5.h"
#include "tests/support/test_support.h"

namespace quarv {
namespace {

// Hands `body` over in blocks of up to `blockSize` bytes, each block overwritten with noise
// right after it was handed over and read back (as a sender does): the digest must be that of
// the body, so a block still being digested must never be given out again.
std::string PipelinedDigest(const std::string& body, std::uint32_t blockSize) {
  DigestPipeline pipeline;
  EXPECT_TRUE(pipeline.Start(body.size(), blockSize));
  std::size_t done = 0;
  std::uint32_t step = 0;
  while (done < body.size()) {
    // Uneven lengths: the digest's own 64-byte blocks straddle the ring's.
    const std::uint32_t length = static_cast<std::uint32_t>(
        std::min<std::size_t>(body.size() - done, blockSize - (step++ % 3) * 1000));
    char* block = pipeline.NextBlock();
    std::memcpy(block, body.data() + done, length);
    pipeline.Digest(length);
    EXPECT_EQ(std::memcmp(block, body.data() + done, length), 0);
    done += length;
  }
  std::array<std::uint8_t, kMd5DigestSize> digest{};
  pipeline.Finish(digest.data());
  return Md5ToHex(digest.data());
}

TEST(DigestPipelineTest, DigestOfManyBlocksIsThatOfTheWholeBody) {
  for (const std::size_t size :
       {std::size_t{1}, std::size_t{300000}, std::size_t{5} * 1024 * 1024 + 17}) {
    const std::string body = test::PatternBytes(size);
    const std::string whole = test::Md5Hex(body);
    EXPECT_EQ(PipelinedDigest(body, 128 * 1024), whole) << size;
    EXPECT_EQ(PipelinedDigest(body, 10240), whole) << size;
  }
}

// A body that breaks off: abandoned with the ring full, with the digest thread idle, or never
// fed at all, the pipeline returns at once and frees its blocks (the leak and thread checks of
// the sanitizer builds see the rest).
TEST(DigestPipelineTest, AbandonedBodyEndsWithoutWaitingForTheRest) {
  const std::uint64_t body = 64 * DigestPipeline::kThreadedBodySize;
  for (const std::uint32_t handedOver : {0u, 1u, DigestPipeline::kRingBlocks, 40u}) {
    DigestPipeline pipeline;
    ASSERT_TRUE(pipeline.Start(body, 128 * 1024));
    for (std::uint32_t i = 0; i < handedOver; ++i) {
      std::memset(pipeline.NextBlock(), 'x', 128 * 1024);
      pipeline.Digest(128 * 1024);
    }
    if (handedOver != 1) pipeline.Abandon();
    // handedOver == 1: left to the destructor, as on an early return.
  }
}

}  // namespace
}  // namespace quarv
