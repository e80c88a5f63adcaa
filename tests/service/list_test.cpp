// LIST: the bytes of the listing, checked against the file system.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/service/service_test_support.h"

namespace quarv::test {
namespace {

using ListTest = ServerTest;

// Splits a listing body (between the status line and ".") into its records.
std::vector<std::string> Records(const std::string& listing) {
  const std::string head = "200 List of files.\r\n";
  const std::string tail = ".\r\n";
  std::vector<std::string> records;
  if (listing.compare(0, head.size(), head) != 0 || listing.size() < head.size() + tail.size() ||
      listing.compare(listing.size() - tail.size(), tail.size(), tail) != 0) {
    ADD_FAILURE() << "not a listing: " << listing;
    return records;
  }
  std::string body = listing.substr(head.size(), listing.size() - head.size() - tail.size());
  for (std::size_t start = 0; start < body.size();) {
    const std::size_t end = body.find("\r\n\r\n", start);
    if (end == std::string::npos) {
      records.push_back(body.substr(start));
      break;
    }
    records.push_back(body.substr(start, end + 2 - start));
    start = end + 4;
  }
  return records;
}

std::string List(RawClient& client) {
  EXPECT_TRUE(client.Send("LIST\r\n"));
  return ReadListing(client);
}

TEST_F(ListTest, EmptyDirectoryAndDirectoryWithOnlySubdirectoriesListNothing) {
  auto client = LoggedIn();
  EXPECT_EQ(List(*client), "200 List of files.\r\n.\r\n");
  fs::create_directory(base() / "sub");
  WriteFile(base() / "sub" / "inside.txt", "x");
  EXPECT_EQ(List(*client), "200 List of files.\r\n.\r\n");
}

TEST_F(ListTest, OneFileIsThreeLinesWithoutEmptyLine) {
  const fs::path file = base() / "report.txt";
  WriteFile(file, "hello");
  SetFileTime(file, 133000000001234567ull);  // with 100 ns digits
  auto client = LoggedIn();
  const std::string expected =
      "200 List of files.\r\nFileName: report.txt\r\nFileSize: 5 0\r\n"
      "LastWrite: " +
      Words(133000000001234567ull) + "\r\n.\r\n";
  EXPECT_EQ(List(*client), expected);
}

TEST_F(ListTest, SeveralFilesAreSeparatedByOneEmptyLine) {
  std::vector<std::string> expected;
  const std::vector<std::pair<std::string, std::size_t>> files = {
      {"a.bin", 0}, {"with blank.txt", 12345}, {"third", 70000}, {"back\\slash", 3}};
  platform::FileTime time = 132500000000000000ull;
  for (const auto& [name, size] : files) {
    WriteFile(base() / name, PatternBytes(size));
    SetFileTime(base() / name, time);
    time += 987654321;
    expected.push_back(RecordOf(base() / name));
  }
  fs::create_directory(base() / "subdir");
  auto client = LoggedIn();
  std::vector<std::string> records = Records(List(*client));
  std::sort(records.begin(), records.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(records, expected);
}

TEST_F(ListTest, OnlyRegularFilesAndNamesALineCanCarryAreListed) {
  WriteFile(base() / "plain", "p");
  WriteFile(base() / "target", "tt");
  ASSERT_EQ(::mkfifo((base() / "pipe").c_str(), 0644), 0);
  fs::create_symlink(base() / "target", base() / "link");
  fs::create_symlink(base() / "missing", base() / "dangling");
  fs::create_directory_symlink(base() / "dir", base() / "dirlink");
  fs::create_directory(base() / "dir");
  WriteFile(base() / "line\nbreak", "n");
  WriteFile(base() / "carriage\rreturn", "r");
  auto client = LoggedIn();
  std::vector<std::string> records = Records(List(*client));
  std::sort(records.begin(), records.end());
  // A link counts as what it points to.
  std::vector<std::string> expected = {"FileName: link\r\nFileSize: 2 0\r\nLastWrite: " +
                                           Words(GetFileTime(base() / "target")) + "\r\n",
                                       RecordOf(base() / "plain"), RecordOf(base() / "target")};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(records, expected);
}

TEST_F(ListTest, ListingOfManyFilesComesWholeAndTheSessionGoesOn) {
  // About 120 bytes a record: the listing is several times the size the service sends at once.
  std::vector<std::string> expected;
  for (int i = 0; i < 1000; ++i) {
    const fs::path file = base() / (std::string(48, 'n') + std::to_string(10000 + i));
    WriteFile(file, std::string(static_cast<std::size_t>(i % 7), 'x'));
    expected.push_back(RecordOf(file));
  }
  auto client = LoggedIn();
  std::vector<std::string> records = Records(List(*client));
  std::sort(records.begin(), records.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(records, expected);
  // Nothing of the listing is left over: the next reply is the next command's.
  ASSERT_TRUE(client->Send("LIST\r\n"));
  EXPECT_EQ(Records(ReadListing(*client)).size(), expected.size());
  ASSERT_TRUE(client->Send("NOOP\r\n"));
  EXPECT_EQ(client->ReadLine(), "400 Unknown Message.\r\n");
}

}  // namespace
}  // namespace quarv::test
