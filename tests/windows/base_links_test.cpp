// Names resolved beneath the base directory on Windows: a symbolic link or junction that leads
// out of the base is not served, not deleted through and not listed; one that stays inside works.
// Also DELE of a file that someone else holds open. Built for Windows only; run under Wine, where
// the links are made as the Unix links that Wine shows as such.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/directory.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "tests/support/test_support.h"

namespace quarv::platform {
namespace {

namespace fs = std::filesystem;

bool UnderWine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// True once `path` exists as an entry (a link that leads nowhere included), or once it does not.
bool AwaitEntry(const fs::path& path, bool exists) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    WIN32_FIND_DATAW data;
    const HANDLE search = FindFirstFileW(path.wstring().c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    if ((search != INVALID_HANDLE_VALUE) == exists) return true;
    Sleep(10);
  }
  return false;
}

// The Unix name of a Windows path, under Wine; empty elsewhere.
std::string UnixName(const fs::path& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  char* const name = convert != nullptr ? convert(path.wstring().c_str()) : nullptr;
  if (name == nullptr) return {};
  std::string result(name);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Runs a program of the Unix system under Wine, which starts it as it starts a Windows program
// (without a handle that could be waited for: the caller waits for the program's effect).
bool RunUnix(const char* program, std::string arguments) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const std::string windowsName = std::string("Z:") + program;
  std::string command = std::string(program) + " " + arguments;
  if (!CreateProcessA(windowsName.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// Wine 8 creates no link for CreateSymbolicLink and knows no junctions; it shows the Unix links
// of its drives, which the system's ln makes.
bool MakeUnixLink(const fs::path& target, const fs::path& link) {
  const std::string unixTarget = UnixName(target);
  const std::string unixLink = UnixName(link);
  return !unixTarget.empty() && !unixLink.empty() &&
         RunUnix("/bin/ln", "-s " + unixTarget + " " + unixLink) && AwaitEntry(link, true);
}

bool MakeLink(const fs::path& target, const fs::path& link, bool directory) {
  if (UnderWine()) return MakeUnixLink(target, link);
  constexpr DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  const DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | kUnprivileged;
  return CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(), flags) != FALSE;
}

void Write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class Win32BaseLinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(base_);
    fs::create_directory(outside_);
    Write(outside_ / "secret.txt", "secret");
    Write(outside_ / "victim.txt", "keep me");
    Write(base_ / "in.txt", "inside");
    if (!MakeLink(outside_, base_ / "out_dir", true) ||
        !MakeLink(outside_ / "secret.txt", base_ / "out_file", false) ||
        !MakeLink(base_ / "in.txt", base_ / "in_link", false)) {
      GTEST_SKIP() << "no symbolic links can be made here";
    }
    char prefix[300];
    ASSERT_TRUE(FormBasePrefix(base_.string().c_str(), prefix, sizeof prefix));
    SystemError error;
    ASSERT_TRUE(directory_.Open(prefix, &error)) << error.code;
  }

  // Under Wine a Unix link is removed as a link only by the Unix system (Wine deletes what it
  // points to); the links go before the temporary directory does.
  void TearDown() override {
    directory_.Close();
    if (!UnderWine()) return;
    for (const char* name : {"out_dir", "out_file", "in_link"}) {
      const fs::path link = base_ / name;
      EXPECT_TRUE(RunUnix("/bin/rm", "-f " + UnixName(link)) && AwaitEntry(link, false)) << name;
    }
  }

  test::TempDir dir_;
  fs::path base_ = dir_.path() / "base";
  fs::path outside_ = dir_.path() / "outside";
  BaseDirectory directory_;
};

TEST_F(Win32BaseLinksTest, LinksOutOfTheBaseAreNotFollowedAndInsideOnesAre) {
  for (const char* name : {"out_dir\\secret.txt", "out_file"}) {
    SystemError error;
    EXPECT_FALSE(File::OpenForSending(directory_, name, &error).IsOpen()) << name;
    EXPECT_EQ(error.code, kErrorFileNotFound) << name;
  }
  EXPECT_FALSE(RemoveBeneath(directory_, "out_dir\\victim.txt"));
  EXPECT_FALSE(RemoveBeneath(directory_, "out_file"));
  EXPECT_TRUE(fs::exists(outside_ / "victim.txt"));
  EXPECT_TRUE(fs::exists(outside_ / "secret.txt"));
  SystemError error;
  EXPECT_TRUE(File::OpenForSending(directory_, "in_link", &error).IsOpen()) << error.code;

  DirectoryReader reader;
  ASSERT_TRUE(reader.Open(directory_));
  DirectoryEntry entry;
  int seen = 0;
  for (int count = 0; count < 100 && reader.Next(&entry); ++count) {
    if (entry.name == "in.txt" || entry.name == "in_link") {
      EXPECT_TRUE(entry.isRegular) << entry.name;
      EXPECT_EQ(entry.size, 6u) << entry.name;
      ++seen;
    }
    if (entry.name == "out_dir") {
      EXPECT_FALSE(entry.isRegular || entry.isDirectory);
    }
    // Wine shows a Unix link to a file as a plain file, not as a reparse point: only the open
    // (above) can tell that it leads out.
    if (entry.name == "out_file" && !UnderWine()) {
      EXPECT_FALSE(entry.isRegular);
    }
  }
  EXPECT_EQ(seen, 2);
}

TEST_F(Win32BaseLinksTest, AFileThatAnyoneHoldsOpenIsNotDeleted) {
  Write(base_ / "busy.txt", "busy");
  const std::string path = directory_.Prefix() + "busy.txt";
  {
    const HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(RemoveBeneath(directory_, "busy.txt"));
    CloseHandle(writer);
  }
  {
    SystemError error;
    File sender = File::OpenForSending(directory_, "busy.txt", &error);
    ASSERT_TRUE(sender.IsOpen());
    EXPECT_FALSE(RemoveBeneath(directory_, "busy.txt"));
  }
  EXPECT_TRUE(fs::exists(base_ / "busy.txt"));
  EXPECT_TRUE(RemoveBeneath(directory_, "busy.txt"));
  EXPECT_FALSE(fs::exists(base_ / "busy.txt"));
}

}  // namespace
}  // namespace quarv::platform
