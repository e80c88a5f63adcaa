// The platform operations the agent relies on for its local files and its single instance.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "agent/partial_file.h"
#include "platform/file.h"
#include "platform/named_lock.h"
#include "tests/support/agent_process.h"
#include "tests/support/test_support.h"

namespace quarv::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ScopedEnvironment;
using test::SquattedLockPlaces;
using test::TempDir;
using test::WriteFile;

TEST(PartialFileTest, OpensWithoutCuttingAndCutsAtThePosition) {
  TempDir dir;
  const fs::path path = dir.path() / "_incomplete_a";
  SystemError error;
  {
    File created = File::OpenPartial(path.c_str(), &error);
    ASSERT_TRUE(created.IsOpen()) << error.text;
    std::uint32_t written = 0;
    ASSERT_TRUE(created.Write("0123456789", 10, &written));
    EXPECT_EQ(written, 10u);
  }

  File reopened = File::OpenPartial(path.c_str(), &error);
  ASSERT_TRUE(reopened.IsOpen());
  std::uint64_t size = 0;
  ASSERT_TRUE(reopened.Size(&size));
  EXPECT_EQ(size, 10u);  // not cut by the open
  // Written from the start again, then cut where the new content ends.
  std::uint32_t written = 0;
  ASSERT_TRUE(reopened.Seek(0));
  ASSERT_TRUE(reopened.Write("abc", 3, &written));
  ASSERT_TRUE(reopened.TruncateHere());
  ASSERT_TRUE(reopened.Flush());
  reopened.Close();
  EXPECT_EQ(ReadFile(path), "abc");
}

TEST(PartialFileTest, RefusesDirectoriesAndMissingDirectories) {
  TempDir dir;
  SystemError error;
  EXPECT_FALSE(File::OpenPartial((dir.path() / "missing" / "x").c_str(), &error).IsOpen());
  EXPECT_EQ(error.code, kErrorPathNotFound);

  fs::create_directory(dir.path() / "a directory");
  EXPECT_FALSE(File::OpenPartial((dir.path() / "a directory").c_str(), &error).IsOpen());
  EXPECT_EQ(error.code, kErrorAccessDenied);
  EXPECT_TRUE(fs::is_directory(dir.path() / "a directory"));
}

TEST(PartialFileTest, NeverWritesThroughALinkButReplacesItByAnEmptyFile) {
  TempDir dir;
  const fs::path precious = dir.path() / "precious";
  WriteFile(precious, "keep me");
  const fs::path elsewhere = dir.path() / "elsewhere";
  fs::create_directory(elsewhere);
  const fs::path symbolic = dir.path() / "_incomplete_s";
  fs::create_symlink(precious, symbolic);
  const fs::path hard = dir.path() / "_incomplete_h";
  fs::create_hard_link(precious, hard);
  const fs::path toDirectory = dir.path() / "_incomplete_d";
  fs::create_directory_symlink(elsewhere, toDirectory);
  const fs::path fifo = dir.path() / "_incomplete_f";  // must not block the open either
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  for (const fs::path& path : {symbolic, hard, toDirectory, fifo}) {
    SystemError error;
    File partial = File::OpenPartial(path.c_str(), &error);
    ASSERT_TRUE(partial.IsOpen()) << path << ": " << error.text;
    std::uint64_t size = 1;
    EXPECT_TRUE(partial.Size(&size));
    EXPECT_EQ(size, 0u) << path;  // a fetch into it starts at 0
    std::uint32_t written = 0;
    EXPECT_TRUE(partial.Write("new", 3, &written));
    EXPECT_TRUE(partial.Close());
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path))) << path;
    EXPECT_EQ(ReadFile(path), "new");
  }
  EXPECT_EQ(ReadFile(precious), "keep me");
  EXPECT_EQ(fs::hard_link_count(precious), 1u);
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST(RenameNoReplaceTest, NeverReplacesAnExistingTarget) {
  TempDir dir;
  const fs::path from = dir.path() / "from";
  const fs::path to = dir.path() / "to";
  WriteFile(from, "new");
  WriteFile(to, "old");
  EXPECT_EQ(RenameNoReplace(from.c_str(), to.c_str()), RenameResult::TargetExists);
  EXPECT_EQ(ReadFile(to), "old");
  EXPECT_EQ(ReadFile(from), "new");

  fs::remove(to);
  EXPECT_EQ(RenameNoReplace(from.c_str(), to.c_str()), RenameResult::Renamed);
  EXPECT_EQ(ReadFile(to), "new");
  EXPECT_FALSE(fs::exists(from));
  // Nothing left to move: a failure of its own, though the target exists.
  EXPECT_EQ(RenameNoReplace(from.c_str(), to.c_str()), RenameResult::Failed);
}

// The same name put in place twice from one partial file (fetched twice in a pass): the second
// time the partial file is gone, and the copy put in place the first time must stay. An older
// file still gives way to a partial file that is there.
TEST(PartialFileTest, PutInPlaceRemovesTheOlderFileOnlyForAPartialFileThatIsThere) {
  TempDir dir;
  const fs::path partial = dir.path() / "_incomplete_a";
  const fs::path final = dir.path() / "a";
  WriteFile(final, "older");
  WriteFile(partial, "verified");
  EXPECT_TRUE(agent::PartialFile::PutInPlace(partial.string(), final.string()));
  EXPECT_EQ(ReadFile(final), "verified");
  EXPECT_FALSE(fs::exists(partial));

  EXPECT_FALSE(agent::PartialFile::PutInPlace(partial.string(), final.string()));
  ASSERT_TRUE(fs::exists(final));
  EXPECT_EQ(ReadFile(final), "verified");
}

TEST(FindEntryTest, AnyExistingEntryCountsWithItsLastWriteTime) {
  TempDir dir;
  const FileTime time = 132537600001234567;
  const fs::path file = dir.path() / "file";
  WriteFile(file, "x");
  test::SetFileTime(file, time);
  FileTime found = 0;
  ASSERT_TRUE(FindEntry(file.c_str(), &found));
  EXPECT_EQ(found, time);

  fs::create_directory(dir.path() / "dir");
  test::SetFileTime(dir.path() / "dir", time + 10);
  ASSERT_TRUE(FindEntry((dir.path() / "dir").c_str(), &found));
  EXPECT_EQ(found, time + 10);

  found = 7;
  EXPECT_FALSE(FindEntry((dir.path() / "none").c_str(), &found));
  EXPECT_EQ(found, 7u);

  EXPECT_TRUE(FlushDirectoryEntry(file.c_str()));
  EXPECT_FALSE(FlushDirectoryEntry((dir.path() / "none" / "x").c_str()));
}

TEST(NamedLockTest, HeldUntilReleasedOrDestroyed) {
  TempDir runtime;
  const ScopedEnvironment environment("XDG_RUNTIME_DIR", runtime.str().c_str());
  NamedLock first;
  ASSERT_EQ(first.Acquire("QuarvLockTest"), NamedLock::Result::Acquired);
  {
    NamedLock second;
    EXPECT_EQ(second.Acquire("QuarvLockTest"), NamedLock::Result::AlreadyHeld);
    NamedLock other;
    EXPECT_EQ(other.Acquire("QuarvLockTestOther"), NamedLock::Result::Acquired);
  }
  first.Release();
  NamedLock third;
  EXPECT_EQ(third.Acquire("QuarvLockTest"), NamedLock::Result::Acquired);
  EXPECT_EQ(NamedLock().Acquire("bad/name"), NamedLock::Result::Failed);
}

TEST(NamedLockTest, WithoutRuntimeDirectoryOnlyAPlaceNobodyElseCanTakeServes) {
  // As under cron: no runtime directory, and another user took /tmp and the socket name first.
  TempDir home;
  const ScopedEnvironment noRuntime("XDG_RUNTIME_DIR", nullptr);
  const ScopedEnvironment homeDirectory("HOME", home.str().c_str());
  const std::string name = "QuarvLockTest-" + std::to_string(::getpid());
  const SquattedLockPlaces squatted(name);
  EXPECT_TRUE(squatted.bound());
  {
    NamedLock first;
    ASSERT_EQ(first.Acquire(name.c_str()), NamedLock::Result::Acquired);
    NamedLock second;
    EXPECT_EQ(second.Acquire(name.c_str()), NamedLock::Result::AlreadyHeld);
  }
  struct stat info {};
  if (::stat(("/run/user/" + std::to_string(::geteuid())).c_str(), &info) != 0) {
    ASSERT_EQ(::lstat((home.path() / ".quarv").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_TRUE(fs::exists(home.path() / ".quarv" / (name + ".lock")));
  }

  // A directory in the home that someone else owns is never used.
  if (::geteuid() != 0) return;
  TempDir otherHome;
  const ScopedEnvironment otherHomeDirectory("HOME", otherHome.str().c_str());
  ASSERT_EQ(::mkdir((otherHome.path() / ".quarv").c_str(), 0777), 0);
  ASSERT_EQ(::chown((otherHome.path() / ".quarv").c_str(), SquattedLockPlaces::kOtherUser,
                    SquattedLockPlaces::kOtherUser),
            0);
  if (::stat(("/run/user/" + std::to_string(::geteuid())).c_str(), &info) != 0) {
    EXPECT_EQ(NamedLock().Acquire(name.c_str()), NamedLock::Result::Failed);
  }
}

}  // namespace
}  // namespace quarv::platform
