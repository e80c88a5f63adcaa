// The Win32 side of the platform layer where it has answers of its own: the long-path base
// prefix, the agent's hidden partial file and its way into place, directory enumeration, the
// named lock and the executable's path. Built for Windows only; run under Wine.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/directory.h"
#include "platform/file.h"
#include "platform/module_path.h"
#include "platform/named_lock.h"
#include "platform/paths.h"
#include "tests/support/test_support.h"

namespace quarv::platform {
namespace {

std::string Prefix(const char* base, std::size_t size = 300) {
  std::vector<char> out(size, 'x');
  if (!FormBasePrefix(base, out.data(), out.size())) {
    EXPECT_EQ(out[0], '\0') << "a prefix that does not fit leaves an empty text";
    return "<does not fit>";
  }
  return out.data();
}

TEST(Win32BasePrefixTest, LongPathFormWithExactlyOneClosingBackslash) {
  EXPECT_EQ(Prefix("C:\\outbox"), "\\\\?\\C:\\outbox\\");
  EXPECT_EQ(Prefix("C:\\outbox\\"), "\\\\?\\C:\\outbox\\");
  EXPECT_EQ(Prefix("C:\\"), "\\\\?\\C:\\");
  EXPECT_EQ(Prefix(""), "\\\\?\\");
  // "\\?\C:\a\" and its terminator: 10 bytes fit in 10, not in 9.
  EXPECT_EQ(Prefix("C:\\a", 10), "\\\\?\\C:\\a\\");
  EXPECT_EQ(Prefix("C:\\a", 9), "<does not fit>");
  EXPECT_EQ(DefaultBase(), std::string("c:\\"));
}

// Meaningful only where the ANSI code page is 932 (a Japanese system; under Wine a ja_JP locale):
// the system test runs it so. Elsewhere it is skipped.
TEST(Win32BasePrefixTest, CodePage932TrailByteIsNoBackslash) {
  if (GetACP() != 932) GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 932";
  // 表 is 0x95 0x5C and ソ 0x83 0x5C in code page 932: a value ending in either does not end in
  // a backslash, and gets one.
  EXPECT_TRUE(IsLeadByte(0x95));
  EXPECT_TRUE(IsLeadByte(0x83));
  EXPECT_FALSE(IsLeadByte('\\'));
  EXPECT_FALSE(IsLeadByte('a'));
  EXPECT_EQ(Prefix("C:\\\x95\x5C"), "\\\\?\\C:\\\x95\x5C\\");
  EXPECT_EQ(Prefix("C:\\a\x83\x5C"), "\\\\?\\C:\\a\x83\x5C\\");
  EXPECT_EQ(Prefix("C:\\\x95\x5C\\"), "\\\\?\\C:\\\x95\x5C\\");
  // A lone lead byte at the very end takes no following byte with it.
  EXPECT_EQ(Prefix("C:\\\x95"), "\\\\?\\C:\\\x95\\");
}

// Names that differ only in case are one file here: the agent takes such names once per list.
TEST(Win32EntryKeyTest, NamesThatDifferOnlyInCaseHaveOneKey) {
  EXPECT_EQ(EntryKey("Report.TXT"), EntryKey("report.txt"));
  if (GetACP() == 1252) {
    EXPECT_EQ(EntryKey("\xC4rger.txt"), EntryKey("\xE4rger.txt"));  // Ä and ä
  }
  EXPECT_NE(EntryKey("report.txt"), EntryKey("report.txt2"));
  EXPECT_NE(EntryKey("a.txt"), EntryKey("b.txt"));
}

DWORD AttributesOf(const std::string& path) {
  return GetFileAttributesA(path.c_str());
}

class Win32FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SystemError error;
    ASSERT_TRUE(base_.Open(PathOf("").c_str(), &error)) << error.code;
  }

  // A path as the programs form it: the base prefix of the directory, then the name.
  std::string PathOf(const char* name) {
    char prefix[512];
    EXPECT_TRUE(FormBasePrefix(dir_.str().c_str(), prefix, sizeof prefix));
    return std::string(prefix) + name;
  }

  test::TempDir dir_;
  BaseDirectory base_;
};

TEST_F(Win32FileTest, PartialFileIsHiddenKeptOnReopenAndFinishedAsANormalFile) {
  const std::string partial = PathOf("_incomplete_a.bin");
  const std::string finished = PathOf("a.bin");
  SystemError error;
  {
    File file = File::OpenPartial(partial.c_str(), &error);
    ASSERT_TRUE(file.IsOpen()) << error.code << " " << error.text;
    std::uint32_t written = 0;
    ASSERT_TRUE(file.Write("12345", 5, &written));
    EXPECT_EQ(written, 5u);
    // While it is being written, it is not sent.
    File sender = File::OpenForSending(base_, "_incomplete_a.bin", &error);
    EXPECT_FALSE(sender.IsOpen());
    EXPECT_EQ(error.code, kErrorSharingViolation);
  }
  const DWORD created = AttributesOf(partial);
  ASSERT_NE(created, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(created & FILE_ATTRIBUTE_HIDDEN, 0u) << std::hex << created;

  // Opened again (the next run resumes it): neither cut nor made visible.
  const FileTime time = 133000000001234567ull;
  {
    File file = File::OpenPartial(partial.c_str(), &error);
    ASSERT_TRUE(file.IsOpen()) << error.code;
    std::uint64_t size = 0;
    ASSERT_TRUE(file.Size(&size));
    EXPECT_EQ(size, 5u);
    ASSERT_TRUE(file.Seek(3));
    ASSERT_TRUE(file.TruncateHere());
    ASSERT_TRUE(file.Flush());
    ASSERT_TRUE(file.SetTimes(time));
  }
  EXPECT_NE(AttributesOf(partial) & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_EQ(test::ReadFile(dir_.path() / "_incomplete_a.bin"), "123");

  // Into place: never over an existing file, which keeps its content.
  test::WriteFile(dir_.path() / "a.bin", "older");
  EXPECT_EQ(RenameNoReplace(partial.c_str(), finished.c_str()), RenameResult::TargetExists);
  EXPECT_EQ(test::ReadFile(dir_.path() / "a.bin"), "older");
  ASSERT_TRUE(RemoveFile(finished.c_str()));
  ASSERT_EQ(RenameNoReplace(partial.c_str(), finished.c_str()), RenameResult::Renamed);
  // Nothing left to move: a failure of its own, though the target exists.
  EXPECT_EQ(RenameNoReplace(partial.c_str(), finished.c_str()), RenameResult::Failed);
  // The rename keeps the attribute; the agent clears it.
  EXPECT_NE(AttributesOf(finished) & FILE_ATTRIBUTE_HIDDEN, 0u);
  SetNormalAttribute(finished.c_str());
  EXPECT_EQ(AttributesOf(finished) & FILE_ATTRIBUTE_HIDDEN, 0u);
  FileTime found = 0;
  std::uint64_t size = 0;
  ASSERT_TRUE(FindEntry(finished.c_str(), &found, &size));
  EXPECT_EQ(found, time);
  EXPECT_EQ(size, 3u);
  EXPECT_FALSE(FindEntry(partial.c_str(), &found));
}

// What DELE relies on: the identity taken from the sending handle, and a delete that takes only
// the file of that identity, also after a new version was renamed over its name.
TEST_F(Win32FileTest, RemoveBeneathWithAnIdentityTakesOnlyThatFile) {
  test::WriteFile(dir_.path() / "x", "version 1");
  FileIdentity sent;
  {
    SystemError error;
    const File file = File::OpenForSending(base_, "x", &error);
    ASSERT_TRUE(file.IsOpen()) << error.code;
    ASSERT_TRUE(file.Identity(&sent));
    FileTime lastWrite = 0;
    ASSERT_TRUE(file.LastWriteTime(&lastWrite));
    EXPECT_EQ(sent.size, 9u);
    EXPECT_EQ(sent.lastWrite, lastWrite);
  }
  test::WriteFile(dir_.path() / "x.new", "version 2, longer");
  ASSERT_TRUE(MoveFileExA(PathOf("x.new").c_str(), PathOf("x").c_str(), MOVEFILE_REPLACE_EXISTING));
  bool changed = false;
  EXPECT_FALSE(RemoveBeneath(base_, "x", &sent, &changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ(test::ReadFile(dir_.path() / "x"), "version 2, longer");

  {
    SystemError error;
    const File file = File::OpenForSending(base_, "x", &error);
    ASSERT_TRUE(file.IsOpen()) << error.code;
    ASSERT_TRUE(file.Identity(&sent));
  }
  changed = false;
  EXPECT_TRUE(RemoveBeneath(base_, "x", &sent, &changed));
  EXPECT_FALSE(changed);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "x"));
}

TEST_F(Win32FileTest, EnumerationGivesFilesWithSizeAndTimeAndMarksDirectories) {
  test::WriteFile(dir_.path() / "one.txt", "1");
  test::WriteFile(dir_.path() / "big.bin", test::PatternBytes(70000));
  const FileTime time = 132000000000000001ull;
  test::SetFileTime(dir_.path() / "big.bin", time);
  std::filesystem::create_directory(dir_.path() / "sub");
  {
    SystemError error;
    File hidden = File::OpenPartial(PathOf("_incomplete_x").c_str(), &error);
    ASSERT_TRUE(hidden.IsOpen());
  }

  DirectoryReader reader;
  ASSERT_TRUE(reader.Open(base_));
  std::vector<std::string> files;
  std::vector<std::string> directories;
  DirectoryEntry entry;
  for (int count = 0; count < 100 && reader.Next(&entry); ++count) {
    if (entry.isDirectory) {
      EXPECT_FALSE(entry.isRegular) << entry.name;
      directories.push_back(entry.name);
      continue;
    }
    EXPECT_TRUE(entry.isRegular) << entry.name;
    files.push_back(entry.name);
    if (entry.name == "big.bin") {
      EXPECT_EQ(entry.size, 70000u);
      EXPECT_EQ(entry.lastWrite, time);
    }
  }
  EXPECT_FALSE(reader.Next(&entry));
  reader.Close();
  std::sort(files.begin(), files.end());
  std::sort(directories.begin(), directories.end());
  // A hidden file is listed like any other.
  EXPECT_EQ(files, (std::vector<std::string>{"_incomplete_x", "big.bin", "one.txt"}));
  EXPECT_EQ(directories, (std::vector<std::string>{".", "..", "sub"}));

  // A base directory that was never opened, or is no longer where its prefix names it, gives no
  // entry.
  BaseDirectory missing;
  SystemError error;
  EXPECT_FALSE(missing.Open(PathOf("missing\\").c_str(), &error));
  EXPECT_FALSE(reader.Open(missing));
  std::filesystem::create_directory(dir_.path() / "gone");
  BaseDirectory gone;
  ASSERT_TRUE(gone.Open(PathOf("gone\\").c_str(), &error)) << error.code;
  std::error_code moved;
  std::filesystem::rename(dir_.path() / "gone", dir_.path() / "moved", moved);
  ASSERT_FALSE(moved) << moved.message();
  EXPECT_FALSE(reader.Open(gone));
}

TEST(Win32NamedLockTest, ASecondHolderIsToldUntilTheFirstReleases) {
  const std::string name = "QuarvTestLock-" + std::to_string(GetCurrentProcessId());
  NamedLock first;
  ASSERT_EQ(first.Acquire(name.c_str()), NamedLock::Result::Acquired);
  NamedLock second;
  EXPECT_EQ(second.Acquire(name.c_str()), NamedLock::Result::AlreadyHeld);
  // Being told does not take the lock over: still held.
  NamedLock third;
  EXPECT_EQ(third.Acquire(name.c_str()), NamedLock::Result::AlreadyHeld);
  first.Release();
  EXPECT_EQ(second.Acquire(name.c_str()), NamedLock::Result::Acquired);
}

TEST(Win32ModulePathTest, FullPathOfThisProgramAndACutPathIsTerminated) {
  char path[MAX_PATH];
  const std::uint32_t length = ExecutablePath(path, sizeof path);
  ASSERT_GT(length, 0u);
  const std::string full(path, length);
  EXPECT_EQ(full.size(), std::string(path).size());
  EXPECT_EQ(full.substr(full.size() - 4), ".exe");
  EXPECT_EQ(full.substr(1, 2), ":\\");
  EXPECT_EQ(PathSeparator(), '\\');

  char cut[8];
  std::fill(std::begin(cut), std::end(cut), 'x');
  EXPECT_EQ(ExecutablePath(cut, sizeof cut), 7u);
  EXPECT_EQ(cut[7], '\0');
  EXPECT_EQ(std::string(cut), full.substr(0, 7));
}

}  // namespace
}  // namespace quarv::platform
