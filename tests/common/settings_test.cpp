// The settings reader and the settings file's place beside the executable.
#include "platform/settings.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/settings_path.h"
#include "platform/module_path.h"
#include "tests/support/test_support.h"

namespace quarv {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  std::string Read(const char* section, const char* key, const char* fallback = "dflt",
                   std::uint32_t size = 200) {
    std::array<char, 512> out;
    out.fill('#');
    const std::uint32_t stored =
        platform::ReadProfileString(section, key, fallback, out.data(), size, path_.c_str());
    EXPECT_EQ(stored, std::strlen(out.data()));
    return out.data();
  }
  void Write(const std::string& text) { test::WriteFile(path_, text); }

  test::TempDir dir_;
  std::string path_ = (dir_.path() / "QuarvSvc.ini").string();
};

TEST_F(SettingsTest, DefaultsForMissingFileSectionAndKey) {
  EXPECT_EQ(Read("SERVER", "PORT", "5999"), "5999");  // no file yet
  Write("[OTHER]\nPORT=1\n[SERVER]\nBASE=/srv\n");
  EXPECT_EQ(Read("SERVER", "PORT", "5999"), "5999");
  EXPECT_EQ(Read("MISSING", "BASE", "c:\\"), "c:\\");
  EXPECT_EQ(Read("SERVER", "BASE"), "/srv");
  EXPECT_EQ(Read("SERVER", "BASE", "x", 1), "");  // room for the terminator only
}

TEST_F(SettingsTest, NamesAreCaseInsensitiveAndTrimmed) {
  Write("  [ server ]  \r\n  port  =  6000  \r\nPassword=\tsecret word\t\r\n");
  EXPECT_EQ(Read("SERVER", "PORT"), "6000");
  EXPECT_EQ(Read("Server", "PASSWORD"), "secret word");
}

TEST_F(SettingsTest, QuotesCommentsAndTheFirstKeyWins) {
  Write(
      "[AGENT]\n"
      "; HOST=commented\n"
      "HOST=\"  spaced host  \"\n"
      "HOST=second\n"
      "BASE='single'\n"
      "ODD=\"unbalanced\n"
      "EMPTY=\n"
      "no equals sign here\n");
  EXPECT_EQ(Read("AGENT", "HOST"), "  spaced host  ");
  EXPECT_EQ(Read("AGENT", "BASE"), "single");
  EXPECT_EQ(Read("AGENT", "ODD"), "\"unbalanced");
  EXPECT_EQ(Read("AGENT", "EMPTY"), "");
  EXPECT_EQ(Read("AGENT", "; HOST"), "dflt");
  // A default keeps no trailing blanks, also where no file is read for it.
  EXPECT_EQ(Read("AGENT", "; HOST", "dflt \t "), "dflt");
}

TEST_F(SettingsTest, ValuesAreCutToTheBufferLessOne) {
  Write("[AGENT]\nTRY=1234567890\n");
  EXPECT_EQ(Read("AGENT", "TRY", "5", 5), "1234");
  EXPECT_EQ(Read("AGENT", "NONE", "abcdefgh", 4), "abc");
  EXPECT_EQ(Read("AGENT", "NONE", "trailing   ", 50), "trailing");
}

// Code page 932: bytes 0x81-0x9F and 0xE0-0xFC lead a two-byte character, whose second byte may
// be 0x5C, the backslash.
bool IsCp932LeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}
bool NoLeadBytes(unsigned char) {
  return false;
}

std::string Cut(std::string text, char separator, bool (*isLead)(unsigned char)) {
  CutAfterLastSeparator(text.data(), separator, isLead);
  return text.c_str();
}

TEST(SettingsPathTest, CutsAfterTheLastSeparatorThatBeginsACharacter) {
  EXPECT_EQ(Cut("c:\\tools\\QuarvSvc.exe", '\\', IsCp932LeadByte), "c:\\tools\\");
  // "\x83\x5C" is one character (katakana so): its 0x5C never cuts the path.
  EXPECT_EQ(Cut("c:\\\x83\x5C\\QuarvSvc.exe", '\\', IsCp932LeadByte), "c:\\\x83\x5C\\");
  EXPECT_EQ(Cut("c:\\dir\\\x83\x5C.exe", '\\', IsCp932LeadByte), "c:\\dir\\");
  EXPECT_EQ(Cut("c:\\dir\\\x83\x5C.exe", '\\', NoLeadBytes), "c:\\dir\\\x83\\");
  EXPECT_EQ(Cut("no-separator.exe", '\\', IsCp932LeadByte), "");
  EXPECT_EQ(Cut("/usr/local/bin/QuarvAgent", '/', NoLeadBytes), "/usr/local/bin/");
}

TEST(SettingsPathTest, SettingsFileLiesBesideTheExecutable) {
  std::array<char, kPathBufferSize> path{};
  const bool formed = SettingsPath(path.data(), kPathBufferSize, "QuarvSvc.ini");
  std::array<char, 4096> exe{};
  platform::ExecutablePath(exe.data(), 4096);
  const std::filesystem::path expected =
      std::filesystem::path(exe.data()).parent_path() / "QuarvSvc.ini";
  if (std::strlen(exe.data()) + 10 < kPathBufferSize - 12) {
    EXPECT_TRUE(formed);
    EXPECT_EQ(std::string(path.data()), expected.string());
  }
  // The directory part may use the size less the name and ten bytes; a longer one is neither
  // cut into a wrong directory nor left out (a bare name would be read in the current
  // directory): there is no path.
  std::array<char, 64> small{};
  const bool smallFormed = SettingsPath(small.data(), 64, "QuarvAgent.ini");
  const std::string got = small.data();
  const std::string inDirectory = std::string(1, platform::PathSeparator()) + "QuarvAgent.ini";
  if (smallFormed) {
    EXPECT_TRUE(got.size() < 64 && got.ends_with(inDirectory)) << got;
  } else {
    EXPECT_EQ(got, "");
  }
}

}  // namespace
}  // namespace quarv
