// The agent's partial file on Windows: never written through a link that someone planted under
// its name, and the results the agent checks before a file counts as fetched (the time read back
// after it was set, the close). Built for Windows only; run under Wine.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/file.h"
#include "tests/support/test_support.h"

namespace quarv::platform {
namespace {

class PartialFileTest : public ::testing::Test {
 protected:
  std::string PathOf(const char* name) const { return (dir_.path() / name).string(); }

  // Opens the partial file at `path`, writes "new" into it and closes it; it must have been
  // empty, so that a fetch into it starts at 0.
  void ExpectFreshPartial(const std::string& path) {
    SystemError error;
    File partial = File::OpenPartial(path.c_str(), &error);
    ASSERT_TRUE(partial.IsOpen()) << path << ": " << error.code << " " << error.text;
    std::uint64_t size = 1;
    EXPECT_TRUE(partial.Size(&size));
    EXPECT_EQ(size, 0u) << path;
    std::uint32_t written = 0;
    EXPECT_TRUE(partial.Write("new", 3, &written));
    EXPECT_TRUE(partial.Close());
    EXPECT_EQ(test::ReadFile(path), "new");
    const DWORD attributes = GetFileAttributesA(path.c_str());
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << path;
  }

  test::TempDir dir_;
};

TEST_F(PartialFileTest, AHardLinkUnderItsNameIsReplacedAndItsTargetKept) {
  const std::string precious = PathOf("precious");
  test::WriteFile(precious, "keep me");
  const std::string partial = PathOf("_incomplete_h");
  ASSERT_TRUE(CreateHardLinkA(partial.c_str(), precious.c_str(), nullptr));

  ExpectFreshPartial(partial);
  EXPECT_EQ(test::ReadFile(precious), "keep me");
}

TEST_F(PartialFileTest, ASymbolicLinkUnderItsNameIsReplacedAndItsTargetKept) {
  const std::string precious = PathOf("precious");
  test::WriteFile(precious, "keep me");
  const std::string partial = PathOf("_incomplete_s");
  // A file link; the flag that lets an unprivileged process make one (0x2) is given too. Wine
  // (8.0) answers success without making anything, and shows a link made on the Unix side as
  // the plain file it leads to: there, no link can be shown to this program at all.
  if (!CreateSymbolicLinkA(partial.c_str(), precious.c_str(), 0x2) &&
      !CreateSymbolicLinkA(partial.c_str(), precious.c_str(), 0)) {
    GTEST_SKIP() << "symbolic links cannot be made here (error " << GetLastError() << ")";
  }
  const DWORD made = GetFileAttributesA(partial.c_str());
  if (made == INVALID_FILE_ATTRIBUTES || (made & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    GTEST_SKIP() << "the system made no symbolic link (Wine)";
  }
  ExpectFreshPartial(partial);
  EXPECT_EQ(test::ReadFile(precious), "keep me");
}

TEST_F(PartialFileTest, ADirectoryUnderItsNameIsRefusedAndKept) {
  const std::string partial = PathOf("_incomplete_d");
  ASSERT_TRUE(CreateDirectoryA(partial.c_str(), nullptr));
  SystemError error;
  EXPECT_FALSE(File::OpenPartial(partial.c_str(), &error).IsOpen());
  EXPECT_NE(GetFileAttributesA(partial.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(PartialFileTest, ATimeWithAllBitsSetIsNotTakenSoTheAgentMustReadItBack) {
  SystemError error;
  File partial = File::OpenPartial(PathOf("_incomplete_t").c_str(), &error);
  ASSERT_TRUE(partial.IsOpen());
  const FileTime good = 133000000001234567ull;
  ASSERT_TRUE(partial.SetTimes(good));
  // SetFileTime takes all bits set as "leave this time unchanged" (or refuses it): the time
  // read back is not the one asked for, whatever the call answered.
  partial.SetTimes(0xFFFFFFFFFFFFFFFFull);
  FileTime stamped = 0;
  ASSERT_TRUE(partial.LastWriteTime(&stamped));
  EXPECT_NE(stamped, 0xFFFFFFFFFFFFFFFFull);
  EXPECT_TRUE(partial.Close());
  EXPECT_TRUE(partial.Close());  // nothing left to close
}

}  // namespace
}  // namespace quarv::platform
