// Links in the base directory: those that stay beneath it work as the files they point to; those
// that lead out of it (or nowhere) are not listed, not served and not followed by DELE. Also DELE
// of a file that someone else holds open.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "tests/service/service_test_support.h"

namespace quarv::test {
namespace {

class BaseLinksTest : public ServerTest {
 protected:
  // Sends a GET and reads its reply whole: the header (or the error line) and, for a 200, the
  // body and the digest, which must match `body`.
  std::string Get(RawClient& client, const std::string& name, const std::string& body = "") {
    EXPECT_TRUE(client.Send("GET " + name + "\r\n"));
    std::string header = ReadGetHeader(client);
    if (header.rfind("200 ", 0) != 0) return header;
    EXPECT_TRUE(client.Send("Offset: 0 0\r\n"));
    EXPECT_EQ(client.ReadBytes(body.size() + kMd5DigestSize), body + Md5Raw(body)) << name;
    return header.substr(0, header.find("\r\n") + 2);
  }
  std::string Dele(RawClient& client, const std::string& name) {
    EXPECT_TRUE(client.Send("DELE " + name + "\r\n"));
    return client.ReadLine();
  }
};

TEST_F(BaseLinksTest, LinksOutOfTheBaseAreNeitherListedNorServedNorFollowed) {
  const fs::path outside = base().parent_path() / "outside";
  fs::create_directory(outside);
  WriteFile(outside / "secret.txt", "secret");
  WriteFile(outside / "victim.txt", "keep me");
  fs::create_directory_symlink(outside, base() / "out_dir");
  fs::create_symlink(outside / "secret.txt", base() / "out_file");
  fs::create_symlink("../outside/victim.txt", base() / "out_relative");
  fs::create_symlink("nowhere.txt", base() / "dangling");
  // Links that stay inside: relative, absolute, and a directory link on the way.
  WriteFile(base() / "in.txt", "inside");
  fs::create_directory(base() / "sub");
  WriteFile(base() / "sub" / "inner.txt", "inner");
  fs::create_symlink("in.txt", base() / "in_link");
  fs::create_symlink(base() / "sub" / "inner.txt", base() / "in_absolute");
  fs::create_directory_symlink("sub", base() / "sub_link");

  auto client = LoggedIn();
  ASSERT_TRUE(client->Send("LIST\r\n"));
  const std::string listing = ReadListing(*client);
  for (const char* name : {"in.txt", "in_link", "in_absolute"}) {
    EXPECT_NE(listing.find(std::string("FileName: ") + name + "\r\n"), std::string::npos) << name;
  }
  for (const char* name : {"out_file", "out_relative", "dangling", "out_dir"}) {
    EXPECT_EQ(listing.find(std::string("FileName: ") + name + "\r\n"), std::string::npos) << name;
  }

  for (const char* name : {"out_dir/secret.txt", "out_file", "out_relative", "dangling"}) {
    EXPECT_EQ(Get(*client, name), "404 File Not Found\r\n") << name;
  }
  for (const char* name : {"out_dir/victim.txt", "out_relative", "dangling"}) {
    EXPECT_EQ(Dele(*client, name), "500 File Cannot Delete.\r\n") << name;
  }
  EXPECT_EQ(ReadFile(outside / "victim.txt"), "keep me");
  EXPECT_TRUE(fs::is_symlink(base() / "out_relative"));

  EXPECT_EQ(Get(*client, "in_link", "inside"), "200 File Transfer.\r\n");
  EXPECT_EQ(Get(*client, "in_absolute", "inner"), "200 File Transfer.\r\n");
  EXPECT_EQ(Get(*client, "sub_link/inner.txt", "inner"), "200 File Transfer.\r\n");
  // DELE of a link removes the link, not what it points to.
  EXPECT_EQ(Dele(*client, "in_link"), "200 File Deleted.\r\n");
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(base() / "in_link")));
  EXPECT_EQ(ReadFile(base() / "in.txt"), "inside");
}

TEST_F(BaseLinksTest, DeleOfAFileThatAnotherOpenerHoldsIsRefused) {
  const fs::path file = base() / "growing.log";
  WriteFile(file, "first line\n");
  auto client = LoggedIn();
  {
    // A producer still writing: any other open descriptor refuses the delete.
    const int writer = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(Dele(*client, "growing.log"), "500 File Cannot Delete.\r\n");
    ASSERT_EQ(::write(writer, "second line\n", 12), 12);
    ::close(writer);
  }
  EXPECT_EQ(ReadFile(file), "first line\nsecond line\n");
  EXPECT_EQ(Dele(*client, "growing.log"), "200 File Deleted.\r\n");
  EXPECT_FALSE(fs::exists(file));
}

}  // namespace
}  // namespace quarv::test
