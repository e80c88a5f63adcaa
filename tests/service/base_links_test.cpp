// Links in the base directory: those that stay beneath it work as the files they point to; those
// that lead out of it (or nowhere) are not listed, not served and not followed by DELE. Also DELE
// of a file that someone else holds open.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/beneath.h"
#include "platform/paths.h"
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

TEST_F(BaseLinksTest, MagicLinksAndSiblingsOfTheBaseNeverCountAsBeneathIt) {
  // /proc/self/root/<BASE>/d is d of the base here, but only because this process's root is
  // the service's: through another process's /proc entry it is whatever that process sees.
  fs::create_directory(base() / "d");
  WriteFile(base() / "d" / "secret", "secret");
  WriteFile(base() / "d" / "victim", "keep me");
  const fs::path viaProc = fs::path("/proc/self/root") / base().relative_path() / "d";
  fs::create_symlink(viaProc / "secret", base() / "loot");
  fs::create_directory_symlink(viaProc, base() / "m");
  // A sibling whose path begins with the base's text: <BASE>2 is not beneath <BASE>.
  const fs::path sibling = base().string() + "2";
  fs::create_directory(sibling);
  WriteFile(sibling / "secret", "sibling");
  fs::create_symlink(sibling / "secret", base() / "next_door");

  auto client = LoggedIn();
  ASSERT_TRUE(client->Send("LIST\r\n"));
  const std::string listing = ReadListing(*client);
  for (const char* name : {"loot", "m", "next_door"}) {
    EXPECT_EQ(listing.find(std::string("FileName: ") + name + "\r\n"), std::string::npos) << name;
  }
  for (const char* name : {"loot", "m/secret", "next_door"}) {
    EXPECT_EQ(Get(*client, name), "404 File Not Found\r\n") << name;
  }
  EXPECT_EQ(Dele(*client, "m/victim"), "500 File Cannot Delete.\r\n");
  EXPECT_EQ(ReadFile(base() / "d" / "victim"), "keep me");
}

// A child process in a mount namespace of its own, in which a directory is bind-mounted over
// another: what any local user can set up inside a user namespace. Killed and reaped when
// destroyed; it ends itself after a minute should this process die first.
class NamespaceChild {
 public:
  NamespaceChild() = default;
  ~NamespaceChild() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  NamespaceChild(const NamespaceChild&) = delete;
  NamespaceChild& operator=(const NamespaceChild&) = delete;

  // Mounts `from` over `over` in the child's namespace. False with the reason when the system
  // refuses a step.
  bool Start(const fs::path& from, const fs::path& over, std::string* why) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return Fail(why, "pipe", errno);
    const std::string source = from.string();
    const std::string target = over.string();
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) return Fail(why, "fork", errno);
    if (pid_ == 0) {
      // Only system calls from here on: this process has threads.
      ::close(report[0]);
      if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(1);
      ::alarm(60);
      unsigned char step = 0;
      int error = 0;
      if (::unshare(CLONE_NEWNS) != 0) {
        step = 1, error = errno;
      } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        step = 2, error = errno;
      } else if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        step = 3, error = errno;
      }
      const unsigned char answer[2] = {step, static_cast<unsigned char>(error)};
      if (::write(report[1], answer, sizeof answer) != 2) ::_exit(1);
      if (step != 0) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(report[1]);
    unsigned char answer[2] = {255, 0};
    pollfd ready{report[0], POLLIN, 0};
    const bool got = ::poll(&ready, 1, 10000) == 1 && ::read(report[0], answer, 2) == 2;
    ::close(report[0]);
    if (!got) return Fail(why, "no answer from the child", 0);
    static const char* const kSteps[] = {"", "unshare(CLONE_NEWNS)", "mount private", "bind mount"};
    return answer[0] == 0 || Fail(why, answer[0] < 4 ? kSteps[answer[0]] : "?", answer[1]);
  }
  int pid() const { return pid_; }

 private:
  static bool Fail(std::string* why, const char* what, int error) {
    *why = std::string(what) + (error != 0 ? std::string(": ") + std::strerror(error) : "");
    return false;
  }
  pid_t pid_ = -1;
};

TEST_F(BaseLinksTest, AMountOfAnotherNamespaceReachedThroughProcIsNotBeneathTheBase) {
  const fs::path outside = base().parent_path() / "outside";
  fs::create_directory(outside);
  WriteFile(outside / "secret", "root only");
  WriteFile(outside / "victim", "keep me");
  fs::create_directory(base() / "d");  // empty here; in the child's namespace, `outside`
  NamespaceChild child;
  std::string why;
  if (!child.Start(outside, base() / "d", &why)) GTEST_SKIP() << why;
  const fs::path there =
      fs::path("/proc") / std::to_string(child.pid()) / "root" / base().relative_path() / "d";
  ASSERT_EQ(ReadFile(there / "secret"), "root only");  // the mount is in place
  fs::create_symlink(there / "secret", base() / "loot");
  fs::create_directory_symlink(there, base() / "m");

  auto client = LoggedIn();
  ASSERT_TRUE(client->Send("LIST\r\n"));
  const std::string listing = ReadListing(*client);
  EXPECT_EQ(listing.find("FileName: loot\r\n"), std::string::npos);
  EXPECT_EQ(listing.find("FileName: m\r\n"), std::string::npos);
  EXPECT_EQ(Get(*client, "loot"), "404 File Not Found\r\n");
  EXPECT_EQ(Get(*client, "m/secret"), "404 File Not Found\r\n");
  EXPECT_EQ(Dele(*client, "m/victim"), "500 File Cannot Delete.\r\n");
  EXPECT_EQ(ReadFile(outside / "victim"), "keep me");
}

// The resolution beneath the base itself, with openat2 and with the walk that stands in where
// openat2 refuses a name or is missing: both give the same answers.
class BeneathWalkTest : public testing::Test {
 protected:
  void SetUp() override {
    base_ = dir_.path() / kBaseName;
    fs::create_directory(base_);
    char prefix[512];
    ASSERT_TRUE(platform::FormBasePrefix(base_.c_str(), prefix, sizeof prefix));
    platform::SystemError error;
    ASSERT_TRUE(opened_.Open(prefix, &error)) << error.text;
  }
  void TearDown() override { platform::native::UseOpenat2ForTesting(true); }

  // The content of `name` opened beneath the base, or "errno <n>".
  std::string Read(const char* name) {
    const platform::native::UniqueFd fd(platform::native::OpenBeneath(opened_, name, O_RDONLY));
    if (fd.get() < 0) return "errno " + std::to_string(errno);
    char buffer[64];
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    return got < 0 ? "read failed" : std::string(buffer, static_cast<std::size_t>(got));
  }

  TempDir dir_;
  fs::path base_;
  platform::BaseDirectory opened_;
};

TEST_F(BeneathWalkTest, LinksBeneathAreFollowedAndNothingLeavesTheBase) {
  WriteFile(base_ / "in.txt", "inside");
  fs::create_directory(base_ / "sub");
  WriteFile(base_ / "sub" / "inner.txt", "inner");
  WriteFile(dir_.path() / "outside.txt", "outside");
  fs::create_symlink("in.txt", base_ / "relative");
  fs::create_symlink(fs::canonical(base_) / "sub" / "inner.txt", base_ / "absolute");
  fs::create_directory_symlink("sub", base_ / "sub_link");
  fs::create_directory_symlink("..", base_ / "sub" / "up");
  fs::create_symlink("../outside.txt", base_ / "out_relative");
  fs::create_symlink(dir_.path() / "outside.txt", base_ / "out_absolute");
  fs::create_symlink(fs::path("/proc/self/root") / fs::canonical(base_).relative_path() / "in.txt",
                     base_ / "magic");
  fs::create_symlink("loop_b", base_ / "loop_a");
  fs::create_symlink("loop_a", base_ / "loop_b");
  const std::string exdev = "errno " + std::to_string(EXDEV);
  const std::string eloop = "errno " + std::to_string(ELOOP);
  const std::pair<const char*, std::string> cases[] = {
      {"relative", "inside"},
      {"absolute", "inner"},
      {"sub_link/inner.txt", "inner"},
      {"sub/up/in.txt", "inside"},
      {"sub/../in.txt", "inside"},
      {"out_relative", exdev},
      {"out_absolute", exdev},
      {"magic", exdev},
      {"sub/../../outside.txt", exdev},
      {"loop_a", eloop},
      {"in.txt/", "errno " + std::to_string(ENOTDIR)},
      {"missing.txt", "errno " + std::to_string(ENOENT)},
  };
  for (const bool openat2 : {true, false}) {
    platform::native::UseOpenat2ForTesting(openat2);
    for (const auto& [name, expected] : cases) {
      EXPECT_EQ(Read(name), expected) << name << (openat2 ? " (openat2)" : " (walked)");
    }
  }
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
