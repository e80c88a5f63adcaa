// DELE, and the names that GET and DELE refuse because they leave the base directory.
#include <fstream>
#include <string>

#include "service/sent_files.h"

#include "tests/service/service_test_support.h"

namespace quarv::test {
namespace {

using DeleTest = ServerTest;

TEST_F(DeleTest, DeletesAFileAndRefusesWhatIsNotOne) {
  WriteFile(base() / "gone.txt", "bye");
  fs::create_directory(base() / "folder");
  fs::create_directory(base() / "sub");
  WriteFile(base() / "sub" / "inner.txt", "in");
  auto client = LoggedIn();
  ASSERT_TRUE(client->Send("DELE gone.txt\r\n"));
  EXPECT_EQ(client->ReadLine(), "200 File Deleted.\r\n");
  EXPECT_FALSE(fs::exists(base() / "gone.txt"));
  ASSERT_TRUE(client->Send("DELE sub/inner.txt\r\n"));
  EXPECT_EQ(client->ReadLine(), "200 File Deleted.\r\n");
  EXPECT_FALSE(fs::exists(base() / "sub" / "inner.txt"));
  for (const char* request :
       {"DELE gone.txt\r\n", "DELE folder\r\n", "DELE \r\n", "DELE nodir/x\r\n"}) {
    ASSERT_TRUE(client->Send(request));
    EXPECT_EQ(client->ReadLine(), "500 File Cannot Delete.\r\n") << request;
  }
  EXPECT_TRUE(fs::is_directory(base() / "folder"));
}

TEST_F(DeleTest, NamesLeavingTheBaseAreRefusedWithoutTouchingTheFiles) {
  // A file beside the base directory, and one in a sibling directory.
  const fs::path outside = base().parent_path() / "outside.txt";
  WriteFile(outside, "secret");
  fs::create_directory(base() / "sub");
  WriteFile(base() / "sub" / "ok.txt", "ok");
  const std::string absolute = outside.string();
  auto client = LoggedIn();
  for (const std::string& name :
       {std::string("../outside.txt"), std::string("sub/../../outside.txt"), absolute,
        std::string("/etc/hostname"), std::string(".."), std::string("sub/.."),
        std::string("//outside.txt")}) {
    ASSERT_TRUE(client->Send("GET " + name + "\r\n"));
    EXPECT_EQ(client->ReadLine(), "404 File Not Found\r\n") << name;
    ASSERT_TRUE(client->Send("DELE " + name + "\r\n"));
    EXPECT_EQ(client->ReadLine(), "500 File Cannot Delete.\r\n") << name;
  }
  EXPECT_EQ(ReadFile(outside), "secret");
  // Dots that are not a ".." component, and subdirectories, stay allowed.
  WriteFile(base() / "..hidden", "h");
  WriteFile(base() / "a..b", "ab");
  for (const std::string& name :
       std::initializer_list<std::string>{"..hidden", "a..b", "sub/ok.txt", "./sub/ok.txt"}) {
    ASSERT_TRUE(client->Send("GET " + name + "\r\n"));
    EXPECT_EQ(client->ReadLine(), "200 File Transfer.\r\n") << name;
    for (int i = 0; i < 3; ++i) client->ReadLine();
    ASSERT_TRUE(client->Send("Offset: 0 0\r\n"));
    client->ReadBytes(fs::file_size(base() / name) + 16);
  }
}

// A producer updates a file by renaming a new version over it, or appends to it, after the GET
// and before the DELE: the DELE must not take the version the client never received.
TEST_F(DeleTest, RemovesOnlyTheVersionThatWasSent) {
  for (const char* name : {"renamed", "appended", "same-size-and-time", "unchanged"}) {
    WriteFile(base() / name, "version 1");
  }
  const platform::FileTime time = GetFileTime(base() / "renamed") - 20'000'000;  // 2 s earlier
  SetFileTime(base() / "same-size-and-time", time);
  // A directory link whose target changes between GET and DELE.
  fs::create_directory(base() / "a");
  fs::create_directory(base() / "b");
  WriteFile(base() / "a" / "victim", "sent");
  WriteFile(base() / "b" / "victim", "never sent");
  fs::create_directory_symlink("a", base() / "m");
  auto client = LoggedIn();
  for (const char* name : {"renamed", "appended", "same-size-and-time", "unchanged"}) {
    ASSERT_TRUE(FetchWhole(*client, base() / name, name)) << name;
  }
  ASSERT_TRUE(FetchWhole(*client, base() / "m" / "victim", "m/victim"));

  WriteFile(base() / "renamed.new", "version 2, longer");
  fs::rename(base() / "renamed.new", base() / "renamed");
  std::ofstream(base() / "appended", std::ios::app) << " and more";
  // Another file under the name, alike in size and last-write time.
  WriteFile(base() / "alike.new", "version 2");
  SetFileTime(base() / "alike.new", time);
  fs::rename(base() / "alike.new", base() / "same-size-and-time");
  fs::create_directory_symlink("b", base() / "m.new");
  fs::rename(base() / "m.new", base() / "m");

  for (const char* name : {"renamed", "appended", "same-size-and-time", "m/victim"}) {
    ASSERT_TRUE(client->Send(std::string("DELE ") + name + "\r\n"));
    EXPECT_EQ(client->ReadLine(), "500 File Cannot Delete.\r\n") << name;
  }
  EXPECT_EQ(ReadFile(base() / "renamed"), "version 2, longer");
  EXPECT_EQ(ReadFile(base() / "appended"), "version 1 and more");
  EXPECT_EQ(ReadFile(base() / "same-size-and-time"), "version 2");
  EXPECT_EQ(GetFileTime(base() / "same-size-and-time"), time);
  EXPECT_EQ(ReadFile(base() / "b" / "victim"), "never sent");
  ASSERT_TRUE(client->Send("DELE unchanged\r\n"));
  EXPECT_EQ(client->ReadLine(), "200 File Deleted.\r\n");
  EXPECT_FALSE(fs::exists(base() / "unchanged"));
}

// A client that fetches more than the session remembers without deleting: the oldest name is
// forgotten, and from then on a name the session does not remember is not trusted.
TEST_F(DeleTest, AfterTooManyFilesSentWithoutDeleteOnlyRememberedNamesAreDeleted) {
  const auto nameOf = [](std::size_t i) { return "f" + std::to_string(i); };
  // Names of one file (links are made much faster than files).
  WriteFile(base() / "never-sent", "x");
  for (std::size_t i = 0; i <= kSentFilesLimit; ++i) {
    fs::create_hard_link(base() / "never-sent", base() / nameOf(i));
  }
  auto client = LoggedIn();
  // The GETs go out in batches, their replies read behind each batch.
  const auto fetch = [&](std::size_t first, std::size_t end) {
    constexpr std::size_t kBatch = 256;
    const std::string expected = GetHeaderOf(base() / nameOf(0)) + "x" + Md5Raw("x");
    for (std::size_t at = first; at < end; at += kBatch) {
      const std::size_t stop = std::min(end, at + kBatch);
      std::string requests;
      for (std::size_t i = at; i < stop; ++i)
        requests += "GET " + nameOf(i) + "\r\nOffset: 0 0\r\n";
      if (!client->Send(requests)) return false;
      const std::string replies = client->ReadBytes(expected.size() * (stop - at));
      if (replies.size() != expected.size() * (stop - at)) return false;
    }
    return true;
  };
  // f0 .. f8191 fill the memory; f0 sent again becomes the newest, so f8192 pushes out f1.
  ASSERT_TRUE(fetch(0, kSentFilesLimit));
  ASSERT_TRUE(fetch(0, 1));
  ASSERT_TRUE(fetch(kSentFilesLimit, kSentFilesLimit + 1));
  for (const std::string& name : {std::string("never-sent"), nameOf(1)}) {
    ASSERT_TRUE(client->Send("DELE " + name + "\r\n"));
    EXPECT_EQ(client->ReadLine(), "500 File Cannot Delete.\r\n") << name;
    EXPECT_TRUE(fs::exists(base() / name)) << name;
  }
  for (const std::string& name : {nameOf(0), nameOf(2), nameOf(kSentFilesLimit)}) {
    ASSERT_TRUE(client->Send("DELE " + name + "\r\n"));
    EXPECT_EQ(client->ReadLine(), "200 File Deleted.\r\n") << name;
    EXPECT_FALSE(fs::exists(base() / name)) << name;
  }
}

}  // namespace
}  // namespace quarv::test
