// DELETEFILE in this process against the fake service, with every sync, rename and send the
// agent makes recorded through the platform's test seam: a file is deleted on the service only
// once its bytes and its own name are on stable storage, and never after a sync that failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/fetch_agent.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/operation_seam.h"
#include "tests/support/fake_service.h"
#include "tests/support/test_support.h"

namespace quarv::test {
namespace {

namespace fs = std::filesystem;
using platform::Operation;

constexpr char kPassword[] = "durable";
constexpr platform::FileTime kTime = 132537600001234567;
constexpr int kFiles = 40;
constexpr auto kIdleLimit = std::chrono::seconds(20);

std::string FileName(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "f%03d.txt", i);
  return text;
}

std::string Content(int i) {
  return "body of " + FileName(i);
}

std::string LeafOf(const char* path) {
  return path == nullptr ? std::string() : fs::path(path).filename().string();
}

struct Recorded {
  Operation operation;
  std::string name;   // the entry named (for a rename: its new name), without its directory
  std::string from;   // a rename's old name
  std::string bytes;  // the bytes handed to a send
};

// Installed while it lives: records every operation, in order, and makes each one of the kind
// `failing` fail.
class Recorder : public platform::OperationObserver {
 public:
  explicit Recorder(std::optional<Operation> failing = std::nullopt) : failing_(failing) {
    platform::InstallOperationObserver(this);
  }
  ~Recorder() override { platform::InstallOperationObserver(nullptr); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  bool Proceed(const platform::OperationEvent& event) override {
    const bool rename = event.operation == Operation::Rename;
    Recorded entry{event.operation, LeafOf(rename ? event.other : event.path),
                   rename ? LeafOf(event.path) : std::string(),
                   event.data == nullptr ? std::string() : std::string(event.data, event.length)};
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
    return event.operation != failing_;
  }
  std::vector<Recorded> Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }

 private:
  const std::optional<Operation> failing_;
  mutable std::mutex mutex_;
  std::vector<Recorded> entries_;
};

constexpr std::ptrdiff_t kNone = -1;

// The index of the first entry in [from, to) that `matches`, or kNone.
template <typename Match>
std::ptrdiff_t Find(const std::vector<Recorded>& log, std::ptrdiff_t from, std::ptrdiff_t to,
                    Match matches) {
  for (std::ptrdiff_t i = std::max<std::ptrdiff_t>(from, 0); i < to; ++i) {
    if (matches(log[static_cast<std::size_t>(i)])) return i;
  }
  return kNone;
}

class DurableDeleteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < kFiles; ++i) service.Put(FileName(i), FakeFile::Of(Content(i), kTime));
    ASSERT_TRUE(agent.Startup());
    agent.deleteFile = true;
    agent.idleTimeout = kIdleLimit;
  }
  void TearDown() override { agent.Cleanup(); }

  // One pass of the agent; its console output. Every file counts as fetched.
  std::string Pass() {
    int notFetched = -2;
    ::testing::internal::CaptureStdout();
    const int fetched =
        agent.RunPass("127.0.0.1", service.port(), kPassword, base.str().c_str(), &notFetched);
    platform::ConsoleFlush();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(fetched, kFiles);
    EXPECT_EQ(notFetched, 0);
    return out;
  }

  // A sync of the kind `failing` fails: the files are in place, no DELE goes out, the service
  // keeps every file, and the agent says so of each.
  void ExpectNoDeleteWhenFailing(Operation failing) {
    std::vector<Recorded> log;
    std::string out;
    {
      Recorder recorder(failing);
      out = Pass();
      log = recorder.Entries();
    }
    ASSERT_NE(Find(log, 0, std::ssize(log),
                   [&](const Recorded& entry) { return entry.operation == failing; }),
              kNone)
        << "the sync was never asked for";
    EXPECT_EQ(Find(log, 0, std::ssize(log),
                   [](const Recorded& entry) {
                     return entry.operation == Operation::Send &&
                            entry.bytes.find("DELE ") != std::string::npos;
                   }),
              kNone);
    EXPECT_TRUE(service.RequestsStartingWith("DELE ").empty());
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = FileName(i);
      EXPECT_TRUE(service.Has(name)) << name;
      EXPECT_EQ(ReadFile(base.path() / name), Content(i));
      EXPECT_TRUE(Contains(out, "サーバのファイル" + name + "の削除に失敗しました。\n")) << name;
    }
  }

  FakeService service{kPassword};
  agent::FetchAgent agent;
  TempDir base;
};

// For every file: its bytes reach stable storage (one sync of the file system for the batch, or
// its own sync where the file system cannot be synced in one call) before it takes its own name,
// that name reaches stable storage (its directory is synced) after the rename, and only then
// does the send that carries its DELE go out.
TEST_F(DurableDeleteTest, EachFileIsDurableUnderItsOwnNameBeforeItsDeleIsSent) {
  std::vector<Recorded> log;
  {
    Recorder recorder;
    Pass();
    log = recorder.Entries();
  }
  const Operation dataSync =
      platform::CanFlushFileSystem() ? Operation::FileSystemSync : Operation::FileSync;
  const auto end = std::ssize(log);
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = FileName(i);
    SCOPED_TRACE(name);
    const std::ptrdiff_t rename = Find(log, 0, end, [&](const Recorded& entry) {
      return entry.operation == Operation::Rename && entry.name == name &&
             entry.from == agent::kPartialPrefix + name;
    });
    const std::ptrdiff_t dele = Find(log, 0, end, [&](const Recorded& entry) {
      return entry.operation == Operation::Send &&
             entry.bytes.find("DELE " + name + "\r\n") != std::string::npos;
    });
    ASSERT_NE(rename, kNone);
    ASSERT_NE(dele, kNone);
    // The directory sync that closed the batch before this file's, if any.
    std::ptrdiff_t batchStart = kNone;
    for (std::ptrdiff_t j = rename - 1; j >= 0 && batchStart == kNone; --j) {
      if (log[static_cast<std::size_t>(j)].operation == Operation::DirectorySync) batchStart = j;
    }
    EXPECT_NE(Find(log, batchStart + 1, rename,
                   [&](const Recorded& entry) { return entry.operation == dataSync; }),
              kNone)
        << "no sync of its bytes between the batch before and its rename";
    // One sync of the base directory holds every new name of the batch.
    EXPECT_NE(
        Find(log, rename + 1, dele,
             [](const Recorded& entry) { return entry.operation == Operation::DirectorySync; }),
        kNone)
        << "no sync of its directory between its rename and its DELE";
    EXPECT_EQ(ReadFile(base.path() / name), Content(i));
    EXPECT_FALSE(service.Has(name));
  }
}

TEST_F(DurableDeleteTest, AFailedSyncOfTheFileSystemSendsNoDele) {
  if (!platform::CanFlushFileSystem()) GTEST_SKIP() << "each file is synced on its own here";
  ExpectNoDeleteWhenFailing(Operation::FileSystemSync);
}

TEST_F(DurableDeleteTest, AFailedSyncOfTheDirectorySendsNoDele) {
  ExpectNoDeleteWhenFailing(Operation::DirectorySync);
}

}  // namespace
}  // namespace quarv::test
