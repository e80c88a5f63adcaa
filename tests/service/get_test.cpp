// GET: header, offset line, body, digest or zero sentinel, and every error reply.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/service/service_test_support.h"

namespace quarv::test {
namespace {

using GetTest = ServerTest;

const std::string kSentinel = "0000000000000000";

// Sends GET and the offset line; returns the header, and the body plus trailer in `rest`.
std::string Get(RawClient& client, const std::string& name, const std::string& offsetLine,
                std::size_t restSize, std::string* rest) {
  EXPECT_TRUE(client.Send("GET " + name + "\r\n"));
  std::string header = ReadGetHeader(client);
  if (header.rfind("200 ", 0) != 0) return header;
  EXPECT_TRUE(client.Send(offsetLine));
  *rest = client.ReadBytes(restSize);
  return header;
}

TEST_F(GetTest, BodyFromAnyOffsetIsFollowedByTheDigestOfTheBytesSent) {
  // Larger than the blocks the service reads and sends, with an odd end.
  const std::string content = PatternBytes(3 * 131072 + 4321, 5);
  const fs::path file = base() / "large.bin";
  WriteFile(file, content);
  auto client = LoggedIn();
  std::string got;
  EXPECT_EQ(Get(*client, "large.bin", "Offset: 0 0\r\n", content.size() + 16, &got),
            GetHeaderOf(file));
  EXPECT_TRUE(got == content + Md5Raw(content)) << "the body or its digest differs";
  // Resumed at an odd offset: the rest, and the digest of the rest only.
  const std::string rest = content.substr(70001);
  Get(*client, "large.bin", "Offset: 70001 0\r\n", rest.size() + 16, &got);
  EXPECT_TRUE(got == rest + Md5Raw(rest)) << "the rest or its digest differs";
  // And in step afterwards.
  ASSERT_TRUE(client->Send("GET large.bin\r\n"));
  EXPECT_EQ(ReadGetHeader(*client), GetHeaderOf(file));
}

TEST_F(GetTest, NothingLeftToSendGivesTheZeroSentinel) {
  WriteFile(base() / "empty", "");
  WriteFile(base() / "five", "12345");
  auto client = LoggedIn();
  std::string rest;
  EXPECT_EQ(Get(*client, "empty", "Offset: 0 0\r\n", 16, &rest), GetHeaderOf(base() / "empty"));
  EXPECT_EQ(rest, kSentinel);
  EXPECT_EQ(Get(*client, "five", "Offset: 5 0\r\n", 16, &rest), GetHeaderOf(base() / "five"));
  EXPECT_EQ(rest, kSentinel);
  // Beyond the end, also in the high word: the sentinel too, and the session goes on.
  for (const char* line : {"Offset: 6 0\r\n", "Offset: 0 1\r\n"}) {
    Get(*client, "five", line, 16, &rest);
    EXPECT_EQ(rest, kSentinel) << line;
  }
  ASSERT_TRUE(client->Send("LIST\r\n"));
  EXPECT_EQ(client->ReadLine(), "200 List of files.\r\n");
}

TEST_F(GetTest, OffsetLinesOfAnotherFormSendTheWholeFile) {
  const std::string content = "0123456789";
  WriteFile(base() / "digits", content);
  auto client = LoggedIn();
  for (const char* line : {"Offset:3 0\r\n", "offset: 3 0\r\n", "Offset: 3\r\n", "Offset:\r\n",
                           "\r\n", "Position: 3 0\r\n"}) {
    std::string rest;
    Get(*client, "digits", line, content.size() + 16, &rest);
    EXPECT_EQ(rest, content + Md5Raw(content)) << line;
  }
  // Numbers are read as far as they go: "3x" is 3, a missing number 0.
  std::string rest;
  Get(*client, "digits", "Offset: 3x junk\r\n", 7 + 16, &rest);
  EXPECT_EQ(rest, "3456789" + Md5Raw("3456789"));
}

TEST_F(GetTest, SparseFileOver4GiBIsListedAndResumedWithHighAndLargeLowWords) {
  const std::uint64_t size = (1ull << 32) + (1ull << 31) + 100;
  const std::uint64_t offset = size - 40;  // low word 2^31 + 60, high word 1
  const fs::path file = base() / "big.img";
  WriteFile(file, "");
  fs::resize_file(file, size);
  const std::string tail = "the last forty bytes of a big file!!!!!!";
  ASSERT_EQ(tail.size(), 40u);
  {
    const int fd = ::open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(offset)), 40);
    ::close(fd);
  }
  auto client = LoggedIn();
  ASSERT_TRUE(client->Send("GET big.img\r\n"));
  const std::string header = ReadGetHeader(*client);
  EXPECT_EQ(header, "200 File Transfer.\r\nFileSize: " + std::to_string((1ull << 31) + 100) +
                        " 1\r\nLastWrite: " + Words(GetFileTime(file)) + "\r\n\r\n");
  ASSERT_GE(platform::LowWord(offset), 1u << 31);
  ASSERT_TRUE(client->Send("Offset: " + Words(offset) + "\r\n"));
  EXPECT_EQ(client->ReadBytes(40 + 16), tail + Md5Raw(tail));
  // The listing gives the size with the same words.
  ASSERT_TRUE(client->Send("LIST\r\n"));
  EXPECT_EQ(ReadListing(*client), "200 List of files.\r\n" + RecordOf(file) + ".\r\n");
}

TEST_F(GetTest, MissingFilesAndPathsHaveTheirOwnReplies) {
  fs::create_directory(base() / "sub");
  WriteFile(base() / "plain", "x");
  auto client = LoggedIn();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"GET nothing.txt\r\n", "404 File Not Found\r\n"},
      {"GET sub/nothing.txt\r\n", "404 File Not Found\r\n"},
      {"GET nodir/file.txt\r\n", "404 Path Not Found\r\n"},
      {"GET plain/file.txt\r\n", "404 Path Not Found\r\n"},
  };
  for (const auto& [request, reply] : cases) {
    ASSERT_TRUE(client->Send(request));
    EXPECT_EQ(client->ReadLine(), reply) << request;
  }
}

TEST_F(GetTest, NameLengthLimitIsCountedWithTheBasePrefix) {
  const std::size_t prefix = server_.prefixLength();
  // The request line ("GET ", the name) must fit the 198 bytes of a line.
  ASSERT_GT(prefix, 245u - 194);
  ASSERT_LT(prefix, 244u - 10);
  const std::string fits(244 - prefix, 'f');  // prefix + name = 244
  const std::string tooLong(245 - prefix, 'f');
  WriteFile(base() / fits, "fits");
  auto client = LoggedIn();
  std::string rest;
  EXPECT_EQ(Get(*client, fits, "Offset: 0 0\r\n", 4 + 16, &rest), GetHeaderOf(base() / fits));
  EXPECT_EQ(rest, "fits" + Md5Raw("fits"));
  ASSERT_TRUE(client->Send("GET " + tooLong + "\r\n"));
  EXPECT_EQ(client->ReadLine(), "413 File Name Too Large.\r\n");
  ASSERT_TRUE(client->Send("DELE " + tooLong + "\r\n"));
  EXPECT_EQ(client->ReadLine(), "413 File Name Too Large.\r\n");
  EXPECT_TRUE(fs::exists(base() / fits));
}

TEST_F(GetTest, NameIsEverythingAfterTheFirstBlank) {
  WriteFile(base() / "two  blanks .txt", "spaced");
  WriteFile(base() / "back\\slash", "bs");  // an ordinary byte here
  fs::create_directory(base() / "sub dir");
  WriteFile(base() / "sub dir" / "inner", "inner");
  auto client = LoggedIn();
  std::string rest;
  Get(*client, "two  blanks .txt", "Offset: 0 0\r\n", 6 + 16, &rest);
  EXPECT_EQ(rest, "spaced" + Md5Raw("spaced"));
  Get(*client, "back\\slash", "Offset: 0 0\r\n", 2 + 16, &rest);
  EXPECT_EQ(rest, "bs" + Md5Raw("bs"));
  Get(*client, "sub dir/inner", "Offset: 0 0\r\n", 5 + 16, &rest);
  EXPECT_EQ(rest, "inner" + Md5Raw("inner"));
}

// A FIFO is not opened either: opening it for reading would wait for a writer.
TEST_F(GetTest, ReadOnlyFileDirectoryFifoAndEmptyNameAreAccessDenied) {
  const fs::path file = base() / "locked.txt";
  WriteFile(file, "keep");
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::create_directory(base() / "dir");
  ASSERT_EQ(::mkfifo((base() / "pipe").c_str(), 0666), 0);
  auto client = LoggedIn();
  for (const char* request : {"GET locked.txt\r\n", "GET dir\r\n", "GET pipe\r\n", "GET \r\n"}) {
    ASSERT_TRUE(client->Send(request));
    EXPECT_EQ(client->ReadLine().rfind("404 Unknown Error=5,", 0), 0u) << request;
  }
  // The read-only file is listed all the same; nothing is deleted.
  ASSERT_TRUE(client->Send("LIST\r\n"));
  EXPECT_EQ(ReadListing(*client), "200 List of files.\r\n" + RecordOf(file) + ".\r\n");
  for (const char* request : {"DELE locked.txt\r\n", "DELE pipe\r\n"}) {
    ASSERT_TRUE(client->Send(request));
    EXPECT_EQ(client->ReadLine(), "500 File Cannot Delete.\r\n") << request;
  }
  EXPECT_TRUE(fs::exists(file));
}

TEST_F(GetTest, FileBeingSentIsNeitherSentAgainNorDeleted) {
  const std::string content = PatternBytes(50000);
  WriteFile(base() / "busy.bin", content);
  auto first = LoggedIn();
  auto second = LoggedIn();
  // The first transfer waits for its offset line: the file is open for sending.
  ASSERT_TRUE(first->Send("GET busy.bin\r\n"));
  ASSERT_EQ(ReadGetHeader(*first), GetHeaderOf(base() / "busy.bin"));
  ASSERT_TRUE(second->Send("GET busy.bin\r\n"));
  EXPECT_EQ(second->ReadLine(), "409 Conflict.\r\n");
  ASSERT_TRUE(second->Send("DELE busy.bin\r\n"));
  EXPECT_EQ(second->ReadLine(), "500 File Cannot Delete.\r\n");
  // A LIST shows it normally.
  ASSERT_TRUE(second->Send("LIST\r\n"));
  EXPECT_EQ(ReadListing(*second),
            "200 List of files.\r\n" + RecordOf(base() / "busy.bin") + ".\r\n");
  ASSERT_TRUE(first->Send("Offset: 0 0\r\n"));
  EXPECT_EQ(first->ReadBytes(content.size() + 16), content + Md5Raw(content));
  // Once sent, it is free again.
  ASSERT_TRUE(first->Send("QUIT\r\n"));
  ASSERT_TRUE(first->WaitClosed(10s));
  ASSERT_TRUE(second->Send("DELE busy.bin\r\n"));
  EXPECT_EQ(second->ReadLine(), "200 File Deleted.\r\n");
}

// Whether this process may take a lease on a file it owns: root, or the file's owner.
bool LeasesAllowed(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool allowed = ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
  if (allowed) ::fcntl(fd, F_SETLEASE, F_UNLCK);
  ::close(fd);
  return allowed;
}

TEST_F(GetTest, FileOpenForWritingInAnotherProcessIsAConflict) {
  const fs::path file = base() / "written.log";
  WriteFile(file, "log line\n");
  if (!LeasesAllowed(file)) {
    // The service tells a writer by a read lease; where the system refuses leases (no
    // CAP_LEASE and not the owner, or a file system without them) it cannot tell.
    GTEST_SKIP() << "file leases are not allowed here";
  }
  Process writer;
  ASSERT_TRUE(
      writer.Start({"/bin/sh", "-c", "exec 3>>written.log; echo ready; exec sleep 60"}, base()));
  for (int i = 0; i < 2000 && writer.Stdout().find("ready") == std::string::npos; ++i) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_NE(writer.Stdout().find("ready"), std::string::npos);
  auto client = LoggedIn();
  ASSERT_TRUE(client->Send("GET written.log\r\n"));
  EXPECT_EQ(client->ReadLine(), "409 Conflict.\r\n");
  writer.Kill();
  ASSERT_TRUE(client->Send("GET written.log\r\n"));
  EXPECT_EQ(ReadGetHeader(*client), GetHeaderOf(file));
}

TEST_F(GetTest, FileThatShrinksDuringTheBodyClosesTheConnection) {
  const std::string content = PatternBytes(100000);
  const fs::path file = base() / "shrinking.bin";
  WriteFile(file, content);
  auto client = LoggedIn();
  ASSERT_TRUE(client->Send("GET shrinking.bin\r\n"));
  ASSERT_EQ(ReadGetHeader(*client), GetHeaderOf(file));
  fs::resize_file(file, 30000);  // after the header announced 100000 bytes
  ASSERT_TRUE(client->Send("Offset: 0 0\r\n"));
  // What there is arrives, then the connection ends: no digest, no waiting client.
  const std::string received = client->ReadAll(20s);
  EXPECT_EQ(received, content.substr(0, 30000));
}

TEST_F(GetTest, ClientThatLeavesDuringTheBodyEndsOnlyItsSession) {
  WriteFile(base() / "large.bin", PatternBytes(8 << 20));
  {
    auto leaving = LoggedIn();
    ASSERT_TRUE(leaving->Send("GET large.bin\r\n"));
    ReadGetHeader(*leaving);
    ASSERT_TRUE(leaving->Send("Offset: 0 0\r\n"));
    leaving->ReadBytes(1000);
  }  // closed in the middle of the body
  auto client = LoggedIn();
  std::string rest;
  WriteFile(base() / "small", "small");
  Get(*client, "small", "Offset: 0 0\r\n", 5 + 16, &rest);
  EXPECT_EQ(rest, "small" + Md5Raw("small"));
}

}  // namespace
}  // namespace quarv::test
