// DELE, and the names that GET and DELE refuse because they leave the base directory.
#include <string>

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

}  // namespace
}  // namespace quarv::test
