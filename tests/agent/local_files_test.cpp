// The platform operations the agent relies on for its local files and its single instance.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/file.h"
#include "platform/named_lock.h"
#include "tests/support/test_support.h"

namespace quarv::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
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

TEST(PartialFileTest, RefusesWhatIsNotAPlainFileAndMissingDirectories) {
  TempDir dir;
  SystemError error;
  EXPECT_FALSE(File::OpenPartial((dir.path() / "missing" / "x").c_str(), &error).IsOpen());
  EXPECT_EQ(error.code, kErrorPathNotFound);

  fs::create_directory(dir.path() / "a directory");
  EXPECT_FALSE(File::OpenPartial((dir.path() / "a directory").c_str(), &error).IsOpen());
  EXPECT_EQ(error.code, kErrorAccessDenied);

  // A FIFO under the name must neither block the open nor be written to.
  const fs::path fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(File::OpenPartial(fifo.c_str(), &error).IsOpen());
}

TEST(RenameNoReplaceTest, NeverReplacesAnExistingTarget) {
  TempDir dir;
  const fs::path from = dir.path() / "from";
  const fs::path to = dir.path() / "to";
  WriteFile(from, "new");
  WriteFile(to, "old");
  EXPECT_FALSE(RenameNoReplace(from.c_str(), to.c_str()));
  EXPECT_EQ(ReadFile(to), "old");
  EXPECT_EQ(ReadFile(from), "new");

  fs::remove(to);
  EXPECT_TRUE(RenameNoReplace(from.c_str(), to.c_str()));
  EXPECT_EQ(ReadFile(to), "new");
  EXPECT_FALSE(fs::exists(from));
  EXPECT_FALSE(RenameNoReplace(from.c_str(), to.c_str()));  // nothing left to move
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

  EXPECT_TRUE(SetNormalAttribute(file.c_str()));
  EXPECT_FALSE(SetNormalAttribute((dir.path() / "none").c_str()));
  EXPECT_TRUE(FlushDirectoryEntry(file.c_str()));
  EXPECT_FALSE(FlushDirectoryEntry((dir.path() / "none" / "x").c_str()));
}

// Sets an environment variable for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      saved_ = old;
      hadValue_ = true;
    }
    if (value == nullptr) {
      ::unsetenv(name);
    } else {
      ::setenv(name, value, 1);
    }
  }
  ~ScopedEnvironment() {
    if (hadValue_) {
      ::setenv(name_, saved_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string saved_;
  bool hadValue_ = false;
};

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

TEST(NamedLockTest, WithoutRuntimeDirectoryAPrivateDirectoryOrASocketServes) {
  const ScopedEnvironment environment("XDG_RUNTIME_DIR", nullptr);
  const std::string name = "QuarvLockTest-" + std::to_string(::getpid());
  NamedLock first;
  ASSERT_EQ(first.Acquire(name.c_str()), NamedLock::Result::Acquired);
  NamedLock second;
  EXPECT_EQ(second.Acquire(name.c_str()), NamedLock::Result::AlreadyHeld);
  const fs::path privateDir = "/tmp/quarv-" + std::to_string(::getuid());
  if (fs::exists(privateDir)) {
    struct stat info {};
    ASSERT_EQ(::lstat(privateDir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    first.Release();
    fs::remove(privateDir / (name + ".lock"));
  }
}

}  // namespace
}  // namespace quarv::platform
