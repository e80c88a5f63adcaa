// The platform layer's answers that the programs rely on and that differ most between the
// systems underneath: console bytes, sharing between senders and writers, read-only files, times.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "tests/support/test_support.h"

namespace quarv::platform {
namespace {

namespace fs = std::filesystem;

TEST(ConsoleBytesTest, JapaneseIsCodePage932OnWindowsAndUtf8OnPosix) {
  // "日本語です。ソ" in UTF-8; the katakana so ends in 0x5C, the backslash, in code page 932.
  const char* utf8 =
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82\xE3\x82\xBD";
  const std::string cp932 = "\x93\xFA\x96\x7B\x8C\xEA\x82\xC5\x82\xB7\x81\x42\x83\x5C";
  EXPECT_EQ(ToConsoleBytes(utf8), test::IsWindows() ? cp932 : std::string(utf8));
  // Format strings and plain ASCII pass through unchanged, and nothing is added.
  EXPECT_EQ(ToConsoleBytes("%s: %llu / %d\r\n"), "%s: %llu / %d\r\n");
  EXPECT_EQ(ToConsoleBytes(""), "");
}

class PlatformFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SystemError error;
    ASSERT_TRUE(base_.Open(Prefix().c_str(), &error)) << error.code << " " << error.text;
  }

  // The base prefix of the directory, as the programs form it.
  std::string Prefix() const {
    char prefix[512];
    EXPECT_TRUE(FormBasePrefix(dir_.str().c_str(), prefix, sizeof prefix));
    return prefix;
  }
  // A path as the programs form it: the base prefix, then the name.
  std::string PathOf(const char* name) const { return Prefix() + name; }

  File Send(const char* name, SystemError* error) const {
    return File::OpenForSending(base_, name, error);
  }

  test::TempDir dir_;
  BaseDirectory base_;
};

TEST_F(PlatformFileTest, ASenderKeepsOutASecondSenderAndTheFileStays) {
  test::WriteFile(dir_.path() / "a.txt", "hello");
  const std::string path = PathOf("a.txt");
  SystemError error;
  File first = Send("a.txt", &error);
  ASSERT_TRUE(first.IsOpen()) << error.code << " " << error.text;
  std::uint64_t size = 0;
  EXPECT_TRUE(first.Size(&size));
  EXPECT_EQ(size, 5u);

  File second = Send("a.txt", &error);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(error.code, kErrorSharingViolation);
  EXPECT_FALSE(RemoveFile(path.c_str()));
  EXPECT_TRUE(fs::exists(dir_.path() / "a.txt"));

  first.Close();
  File again = Send("a.txt", &error);
  EXPECT_TRUE(again.IsOpen()) << error.code;
  again.Close();
  EXPECT_TRUE(RemoveFile(path.c_str()));
  EXPECT_FALSE(fs::exists(dir_.path() / "a.txt"));
}

TEST_F(PlatformFileTest, AFileBeingWrittenIsNotSent) {
  const std::string path = PathOf("_incomplete_b.txt");
  SystemError error;
  File partial = File::OpenPartial(path.c_str(), &error);
  ASSERT_TRUE(partial.IsOpen()) << error.code << " " << error.text;
  std::uint32_t written = 0;
  ASSERT_TRUE(partial.Write("abc", 3, &written));
  EXPECT_EQ(written, 3u);
  File sender = Send("_incomplete_b.txt", &error);
  EXPECT_FALSE(sender.IsOpen());
  EXPECT_EQ(error.code, kErrorSharingViolation);
  partial.Close();
  EXPECT_EQ(test::ReadFile(dir_.path() / "_incomplete_b.txt"), "abc");
}

TEST_F(PlatformFileTest, AReadOnlyFileIsNeitherSentNorRemoved) {
  // Also when the tests run as root (as CI does), for whom the system's own checks let it pass.
  const fs::path file = dir_.path() / "read-only.txt";
  test::WriteFile(file, "data");
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  SystemError error;
  File sender = Send("read-only.txt", &error);
  EXPECT_FALSE(sender.IsOpen());
  EXPECT_EQ(error.code, kErrorAccessDenied);
  EXPECT_FALSE(RemoveFile(PathOf("read-only.txt").c_str()));
  EXPECT_TRUE(fs::exists(file));
}

TEST_F(PlatformFileTest, MissingFilesAndDirectoriesHaveTheirOwnCodes) {
  SystemError error;
  EXPECT_FALSE(Send("missing.txt", &error).IsOpen());
  EXPECT_EQ(error.code, kErrorFileNotFound);
  fs::create_directory(dir_.path() / "sub");
  EXPECT_FALSE(Send("sub", &error).IsOpen());
  EXPECT_EQ(error.code, kErrorAccessDenied);
}

TEST_F(PlatformFileTest, TimesSetThroughTheFileAreTheTimesFound) {
  const std::string path = PathOf("_incomplete_t.txt");
  SystemError error;
  File partial = File::OpenPartial(path.c_str(), &error);
  ASSERT_TRUE(partial.IsOpen()) << error.code;
  // 2022-06-15 12:34:56.1234567 UTC: whole seconds and a part of one.
  const FileTime time = 133'000'340'961'234'567ULL;
  ASSERT_TRUE(partial.SetTimes(time));
  partial.Close();
  FileTime found = 0;
  ASSERT_TRUE(FindEntry(path.c_str(), &found));
  EXPECT_EQ(found, time);
  EXPECT_EQ(test::GetFileTime(dir_.path() / "_incomplete_t.txt"), time);

  // And the test helper's own setting agrees with what the platform layer reads.
  const FileTime other = time + 7 * kFileTimeUnitsPerSecond;
  test::SetFileTime(dir_.path() / "_incomplete_t.txt", other);
  ASSERT_TRUE(FindEntry(path.c_str(), &found));
  EXPECT_EQ(found, other);
}

}  // namespace
}  // namespace quarv::platform
