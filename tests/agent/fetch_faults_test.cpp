// The agent against a scripted service: interrupted and resumed transfers, changed files, bad
// digests, refused requests, hostile names, the name table's limit, local write errors and a
// file over 4 GiB. The agent is the real program; the service is the fake of fake_service.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "common/md5.h"
#include "common/protocol.h"
#include "tests/support/agent_process.h"
#include "tests/support/fake_service.h"

namespace quarv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kPassword[] = "fetch-secret";
// Two last-write times (FILETIME), with a non-zero sub-second part.
constexpr platform::FileTime kTime = 132537600001234567;
constexpr platform::FileTime kLaterTime = 132800000007654321;

class FetchFaultsTest : public ::testing::Test {
 protected:
  void Configure(const std::string& more = "TRY=1\n") {
    agent.WriteSettingsFor(service.port(), kPassword, more);
  }
  fs::path Local(const std::string& name) const { return agent.base() / name; }
  fs::path Partial(const std::string& name) const { return agent.base() / ("_incomplete_" + name); }

  FakeService service{kPassword};
  AgentProcess agent;
};

TEST_F(FetchFaultsTest, CutBodyIsResumedFromThePartialFileByteExact) {
  const std::string content = PatternBytes(50000, 7);
  FakeFile file = FakeFile::Of(content, kTime);
  file.cutAfter = 23000;
  service.Put("data.bin", file);
  Configure();

  const std::string first = agent.Run();
  EXPECT_TRUE(Contains(first,
                       "接続が切断されました。中断します。\n"
                       "ファイルの取得中にエラーが発生しました。\n"))
      << first;
  EXPECT_TRUE(Contains(first,
                       "\n転送できなかったファイルが 1個 あります。\n"
                       "転送したファイルは 0個 です。\n"))
      << first;
  // What arrived stays, stamped with the service's time, for the next run.
  ASSERT_TRUE(fs::exists(Partial("data.bin")));
  EXPECT_EQ(ReadFile(Partial("data.bin")), content.substr(0, 23000));
  EXPECT_EQ(GetFileTime(Partial("data.bin")), kTime);
  EXPECT_FALSE(fs::exists(Local("data.bin")));

  const std::string second = agent.Run();
  EXPECT_EQ(service.RequestsStartingWith("Offset:").back(), "Offset: 23000 0");
  EXPECT_TRUE(Contains(second, "受信済みのファイルがあります。位置、23000,0から再開します。\n"))
      << second;
  // The service's digest covers the resumed bytes only, and so does the agent's.
  EXPECT_EQ(Count(second, Md5Hex(content.substr(23000)) + "\n"), 2) << second;
  EXPECT_TRUE(Contains(second, "\n転送は成功しました。\n転送したファイルは 1個 です。\n"));
  EXPECT_EQ(ReadFile(Local("data.bin")), content);
  EXPECT_EQ(GetFileTime(Local("data.bin")), kTime);
  EXPECT_FALSE(fs::exists(Partial("data.bin")));
}

TEST_F(FetchFaultsTest, PartialOfAnotherVersionOrNotShorterStartsOverWithoutStaleTail) {
  // A partial file from an older version of "changed.bin", longer than the new one.
  FakeFile old = FakeFile::Of(PatternBytes(60000, 1), kTime);
  old.cutAfter = 40000;
  service.Put("changed.bin", old);
  Configure();
  agent.Run();
  ASSERT_EQ(fs::file_size(Partial("changed.bin")), 40000u);

  const std::string changed = PatternBytes(10000, 2);
  service.Put("changed.bin", FakeFile::Of(changed, kLaterTime));
  // A partial file with the service's time that is longer than the service's file.
  const std::string same = PatternBytes(3000, 3);
  service.Put("same.bin", FakeFile::Of(same, kTime));
  WriteFile(Partial("same.bin"), std::string(5000, 'x'));
  SetFileTime(Partial("same.bin"), kTime);

  const std::string out = agent.Run();
  EXPECT_FALSE(Contains(out, "再開します")) << out;
  const auto offsets = service.RequestsStartingWith("Offset:");
  ASSERT_EQ(offsets.size(), 3u);
  EXPECT_EQ(offsets[1], "Offset: 0 0");
  EXPECT_EQ(offsets[2], "Offset: 0 0");
  EXPECT_EQ(ReadFile(Local("changed.bin")), changed);
  EXPECT_EQ(GetFileTime(Local("changed.bin")), kLaterTime);
  EXPECT_EQ(ReadFile(Local("same.bin")), same);
  EXPECT_FALSE(fs::exists(Partial("changed.bin")));
  EXPECT_FALSE(fs::exists(Partial("same.bin")));
  EXPECT_TRUE(Contains(out, "\n転送は成功しました。\n転送したファイルは 2個 です。\n")) << out;
}

TEST_F(FetchFaultsTest, WrongDigestDeletesThePartialFileAndCountsAsNotFetched) {
  const std::string content = PatternBytes(30000, 4);
  FakeFile file = FakeFile::Of(content, kTime);
  file.wrongDigests = 1;
  service.Put("bad.bin", file);
  service.Put("ok.txt", FakeFile::Of("fine", kTime));
  Configure();

  const std::string first = agent.Run();
  std::string wrong = Md5Raw(content);
  wrong[0] = static_cast<char>(wrong[0] ^ 0x5A);
  EXPECT_TRUE(
      Contains(first, "*\nファイルの転送が完了しました。\n" + Md5Hex(content) + "\n" +
                          Md5ToHex(reinterpret_cast<const std::uint8_t*>(wrong.data())) +
                          "\nMD5が一致しません。ファイルを削除します。\n\nok.txtを転送します。\n"))
      << first;
  // The run does not say it succeeded: one file did not arrive.
  EXPECT_TRUE(first.ends_with(
      "\n転送できなかったファイルが 1個 あります。\n転送したファイルは 1個 です。\n"))
      << first;
  EXPECT_FALSE(fs::exists(Partial("bad.bin")));
  EXPECT_FALSE(fs::exists(Local("bad.bin")));

  agent.Run();
  EXPECT_EQ(service.RequestsStartingWith("Offset:").back(), "Offset: 0 0");
  EXPECT_EQ(ReadFile(Local("bad.bin")), content);
}

TEST_F(FetchFaultsTest, ConnectionLostBeforeOrWithinTheDigestEndsThePass) {
  const std::string content = PatternBytes(20000, 5);
  FakeFile noTrailer = FakeFile::Of(content, kTime);
  noTrailer.cutAfter = content.size();
  service.Put("a.bin", noTrailer);
  FakeFile shortTrailer = FakeFile::Of(content, kTime);
  shortTrailer.shortTrailer = 7;
  service.Put("b.bin", shortTrailer);
  Configure("TRY=1\n");

  const std::string first = agent.Run();
  EXPECT_TRUE(Contains(first, std::string(50, '*') +
                                  "MD5受信中に接続が切断されました。中断します。\n"
                                  "ファイルの取得中にエラーが発生しました。\n"))
      << first;
  EXPECT_TRUE(Contains(first, "\n転送できなかったファイルが 1個 あります。\n")) << first;
  // The bytes stay, but without the service's time: they are not trusted for a resume.
  EXPECT_EQ(fs::file_size(Partial("a.bin")), content.size());
  EXPECT_NE(GetFileTime(Partial("a.bin")), kTime);

  const std::string second = agent.Run();
  EXPECT_EQ(service.RequestsStartingWith("Offset:")[1], "Offset: 0 0");
  EXPECT_EQ(ReadFile(Local("a.bin")), content);
  // A digest cut short is not compared as if it were whole.
  EXPECT_TRUE(Contains(second, "MD5受信中に接続が切断されました。中断します。\n")) << second;
  EXPECT_FALSE(Contains(second, "MD5が一致しません")) << second;
  EXPECT_FALSE(fs::exists(Local("b.bin")));

  const std::string third = agent.Run();
  EXPECT_EQ(ReadFile(Local("b.bin")), content);
  EXPECT_TRUE(Contains(third, "1個のファイルは既に存在します。\n1個のファイルが転送待ちです。\n"));
}

TEST_F(FetchFaultsTest, FileOver4GiBIsResumedNearItsEnd) {
  const std::uint64_t size = (std::uint64_t{1} << 32) + 5000;
  const std::string tail = PatternBytes(3000, 6);
  FakeFile huge;
  huge.size = size;
  huge.lastWrite = kTime;
  huge.tail = tail;
  service.Put("huge.bin", huge);
  // A sparse partial file holding all but the last 2000 bytes: zeros, then the tail's start.
  const std::uint64_t have = size - 2000;
  {
    std::ofstream out(Partial("huge.bin"), std::ios::binary);
    out.seekp(static_cast<std::streamoff>(size - tail.size()));
    out.write(tail.data(), 1000);
  }
  ASSERT_EQ(fs::file_size(Partial("huge.bin")), have);
  SetFileTime(Partial("huge.bin"), kTime);
  Configure();

  const std::string out = agent.Run();
  EXPECT_TRUE(Contains(out, "ファイルサイズ Low:5000 High:1 （約4GB）\n")) << out;
  EXPECT_EQ(service.RequestsStartingWith("Offset:"),
            std::vector<std::string>{"Offset: " + std::to_string(have & 0xFFFFFFFFu) + " 1"});
  EXPECT_TRUE(Contains(out, "受信済みのファイルがあります。位置、" +
                                std::to_string(have & 0xFFFFFFFFu) + ",1から再開します。\n"))
      << out;
  EXPECT_EQ(Count(out, Md5Hex(tail.substr(1000)) + "\n"), 2) << out;
  ASSERT_TRUE(fs::exists(Local("huge.bin"))) << out;
  EXPECT_EQ(fs::file_size(Local("huge.bin")), size);
  std::ifstream in(Local("huge.bin"), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(size - tail.size()));
  std::string end(tail.size(), '\0');
  in.read(end.data(), static_cast<std::streamsize>(end.size()));
  EXPECT_EQ(end, tail);
  EXPECT_EQ(GetFileTime(Local("huge.bin")), kTime);
}

TEST_F(FetchFaultsTest, NamesThatWouldLeaveTheBaseAreRefusedAndCounted) {
  const std::string content = "inside\n";
  for (const char* name : {"../escape.txt", "..", ".", "sub/inner.txt", "back\\slash.txt",
                           "tab\tname.txt", "esc\x1b[31mred", "ok.txt"}) {
    service.Put(name, FakeFile::Of(content, kTime));
  }
  fs::create_directory(agent.base() / "sub");
  Configure();

  const std::string out = agent.Run();
  EXPECT_EQ(Count(out, "ローカルファイル名が不正です。スキップします。\n"), 7) << out;
  EXPECT_EQ(service.RequestsStartingWith("GET "), std::vector<std::string>{"GET ok.txt"});
  EXPECT_TRUE(
      Contains(out, "\n転送できなかったファイルが 7個 あります。\n転送したファイルは 1個 です。\n"))
      << out;
  // The control bytes of a name reach the console escaped, never raw.
  EXPECT_TRUE(Contains(out, "\nesc\\x1B[31mredを転送します。\n")) << out;
  EXPECT_TRUE(Contains(out, "\ntab\\x09name.txtを転送します。\n")) << out;
  EXPECT_EQ(out.find_first_of("\x1b\t"), std::string::npos) << out;
  // Nothing was written anywhere but the one good file in the base.
  EXPECT_EQ(ReadFile(Local("ok.txt")), content);
  std::vector<std::string> inBase;
  for (const auto& entry : fs::recursive_directory_iterator(agent.base())) {
    inBase.push_back(fs::relative(entry.path(), agent.base()).string());
  }
  std::sort(inBase.begin(), inBase.end());
  EXPECT_EQ(inBase, (std::vector<std::string>{"ok.txt", "sub"}));
  EXPECT_FALSE(fs::exists(agent.dir() / "escape.txt"));
  EXPECT_FALSE(fs::exists(agent.dir() / "_incomplete_escape.txt"));
}

TEST_F(FetchFaultsTest, PartialPrefixAndOverlongRequestNamesAreSkippedAndTheRestFetched) {
  // An upstream agent's partial file, listed before the file it belongs to with its time: taken
  // for this agent's own partial file it would be resumed into report.txt.
  service.Put("_incomplete_report.txt", FakeFile::Of("draft 0\n", kTime));
  service.Put("_INCOMPLETE_x.txt", FakeFile::Of("draft 1\n", kTime));
  service.Put("a.txt", FakeFile::Of("first, alone", kTime));
  // GET lines of 198 bytes (the most the service takes) and of 199 bytes.
  const std::string fits(kLongestRequestLine - 4, 'm');
  const std::string overlong(kLongestRequestLine - 3, 'n');
  service.Put(fits, FakeFile::Of("fits", kTime));
  service.Put(overlong, FakeFile::Of("too long", kTime));
  service.Put("report.txt", FakeFile::Of("the real report\n", kTime));
  service.Put("z.txt", FakeFile::Of("after them", kTime));
  Configure();

  // Without DELETEFILE the later files go ahead in one batch: the skipped names are not in it.
  const std::string out = agent.Run();
  EXPECT_EQ(service.RequestsStartingWith("GET "),
            (std::vector<std::string>{"GET a.txt", "GET " + fits, "GET report.txt", "GET z.txt"}));
  EXPECT_EQ(Count(out, "ローカルファイル名が不正です。スキップします。\n"), 2) << out;
  EXPECT_EQ(Count(out, "ローカルファイル名が長すぎます。スキップします。\n"), 1) << out;
  EXPECT_TRUE(
      Contains(out, "\n転送できなかったファイルが 3個 あります。\n転送したファイルは 4個 です。\n"))
      << out;
  EXPECT_EQ(ReadFile(Local("report.txt")), "the real report\n");
  EXPECT_EQ(ReadFile(Local("z.txt")), "after them");
  EXPECT_FALSE(fs::exists(Partial("report.txt")));

  // With DELETEFILE the skipped names stay on the service; a name that fits GET but not DELE
  // is fetched and kept there too.
  fs::remove(Local(fits));
  Configure("TRY=1\nDELETEFILE=Yes\n");
  const std::string second = agent.Run();
  EXPECT_TRUE(service.RequestsStartingWith("DELE ").empty());
  EXPECT_TRUE(Contains(second, "サーバのファイル" + fits + "の削除に失敗しました。\n")) << second;
  EXPECT_TRUE(service.Has("_incomplete_report.txt"));
  EXPECT_TRUE(service.Has(overlong));
  EXPECT_TRUE(service.Has(fits));
}

// With DELETEFILE a name that is never asked for, between files whose requests went ahead, sends
// nothing: the DELE replies outstanding are read where they stand, after the replies of the
// requests sent before them.
TEST_F(FetchFaultsTest, WithDeleteFileANameNeverAskedForKeepsTheRepliesInStep) {
  service.Put("a.txt", FakeFile::Of("first", kTime));
  service.Put("b.txt", FakeFile::Of("second", kTime));
  const std::string overlong = "c" + std::string(kLongestRequestLine, 'n');
  service.Put(overlong, FakeFile::Of("too long", kTime));
  service.Put("d.txt", FakeFile::Of("fourth", kTime));
  Configure("TRY=1\nDELETEFILE=Yes\n");

  const std::string out = agent.Run();
  EXPECT_TRUE(
      Contains(out, "サーバのファイルb.txtを削除しました。\n\n" + overlong +
                        "を転送します。\nローカルファイル名が長すぎます。スキップします。\n\n"
                        "d.txtを転送します。\n"))
      << out;
  EXPECT_TRUE(Contains(out, "サーバのファイルd.txtを削除しました。\n")) << out;
  EXPECT_TRUE(
      out.ends_with("\n転送できなかったファイルが 1個 あります。\n転送したファイルは 3個 です。\n"))
      << out;
  for (const char* name : {"a.txt", "b.txt", "d.txt"}) EXPECT_FALSE(service.Has(name)) << name;
  EXPECT_TRUE(service.Has(overlong));
  EXPECT_EQ(ReadFile(Local("d.txt")), "fourth");
}

TEST_F(FetchFaultsTest, TimeTheFileSystemCannotHoldIsAFailedFetchNeverDeleted) {
  // All bits set: out of range for POSIX, "leave unchanged" for SetFileTime on Windows.
  service.Put("t.txt", FakeFile::Of("stamped?", 0xFFFFFFFFFFFFFFFFull));
  Configure("TRY=1\nDELETEFILE=Yes\n");

  const std::string out = agent.Run();
  EXPECT_TRUE(Contains(out, "ローカルファイル書き込みエラー。スキップします。\n")) << out;
  EXPECT_TRUE(
      Contains(out, "\n転送できなかったファイルが 1個 あります。\n転送したファイルは 0個 です。\n"))
      << out;
  EXPECT_TRUE(service.RequestsStartingWith("DELE ").empty());
  EXPECT_TRUE(service.Has("t.txt"));
  // Not put in place: the bytes wait in the partial file, which the next fetch starts over.
  EXPECT_FALSE(fs::exists(Local("t.txt")));
  EXPECT_EQ(ReadFile(Partial("t.txt")), "stamped?");
}

// The GETs of files without a partial file go ahead of the replies, each with "Offset: 0 0",
// once a file has been fetched; a file with a partial file is asked for in lock step.
std::vector<std::string> FetchRequests(const FakeService& service) {
  std::vector<std::string> lines;
  for (const std::string& line : service.Requests()) {
    if (line.starts_with("GET ") || line.starts_with("Offset:")) lines.push_back(line);
  }
  return lines;
}

// A refused GET is counted, and the next try fetches what it refused.
TEST_F(FetchFaultsTest, RequestsSentAheadStayInStepThroughARefusalAndAResume) {
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "f.txt"}) {
    service.Put(name, FakeFile::Of(std::string("content of ") + name, kTime));
  }
  FakeFile refused = FakeFile::Of("content of c.txt", kTime);
  refused.refuseGets = 1;
  refused.refuseLine = "409 Conflict.";
  service.Put("c.txt", refused);
  WriteFile(Partial("e.txt"), "conte");
  SetFileTime(Partial("e.txt"), kTime);
  Configure("TRY=3\n");

  const std::string out = agent.Run();
  // The refused GET's offset line was answered as an unknown command and read as such: the
  // files behind it arrive, the console shows the refusal once, in its place.
  EXPECT_TRUE(Contains(out,
                       "\nc.txtを転送します。\nファイルc.txtの転送に失敗しました。409 Conflict.\n"
                       "\nd.txtを転送します。\nファイルサイズ Low:16 High:0 （約16B）\n"))
      << out;
  EXPECT_TRUE(Contains(out,
                       "\ne.txtを転送します。\nファイルサイズ Low:16 High:0 （約16B）\n"
                       "ファイルの転送を開始します...\n"
                       "受信済みのファイルがあります。位置、5,0から再開します。\n"))
      << out;
  EXPECT_TRUE(Contains(out, "切断しました。\n----------------------------\nTry[2/3]\n")) << out;
  EXPECT_TRUE(Contains(out, "5個のファイルは既に存在します。\n1個のファイルが転送待ちです。\n"));
  EXPECT_TRUE(
      out.ends_with("切断しました。\n\n転送は成功しました。\n転送したファイルは 6個 です。\n"))
      << out;
  EXPECT_FALSE(Contains(out, "Try[3/3]"));
  EXPECT_EQ(FetchRequests(service),
            (std::vector<std::string>{"GET a.txt", "Offset: 0 0", "GET b.txt", "Offset: 0 0",
                                      "GET c.txt", "Offset: 0 0", "GET d.txt", "Offset: 0 0",
                                      "GET e.txt", "Offset: 5 0", "GET f.txt", "Offset: 0 0",
                                      "GET c.txt", "Offset: 0 0"}));
  EXPECT_EQ(service.Requests().back(), "QUIT");
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "f.txt"}) {
    EXPECT_EQ(ReadFile(Local(name)), std::string("content of ") + name);
  }
}

TEST_F(FetchFaultsTest, BodyAskedForAheadButNotWantedIsReadAndDropped) {
  service.Put("a.txt", FakeFile::Of("first", kTime));
  service.Put("b.txt", FakeFile::Of("second", kTime));
  // Many receive blocks long, so that dropping it takes many reads.
  service.Put("c.bin", FakeFile::Of(PatternBytes(300000, 4), kTime));
  service.Put("d.txt", FakeFile::Of("fourth", kTime));
  // Once c.bin has been asked for ahead, its partial file can no longer be created.
  service.OnGet([this](const std::string& name) {
    if (name == "b.txt") fs::create_directory(Partial("c.bin"));
  });
  Configure();

  const std::string out = agent.Run();
  EXPECT_TRUE(Contains(out,
                       "ファイルの転送を開始します...\n"
                       "ローカルファイルが生成できませんでした。スキップします。\n"
                       "\nd.txtを転送します。\n"))
      << out;
  // The body was not declined (it had been asked for already): read and dropped, in step.
  EXPECT_EQ(service.RequestsStartingWith("Offset:"), std::vector<std::string>(4, "Offset: 0 0"));
  EXPECT_EQ(ReadFile(Local("d.txt")), "fourth");
  EXPECT_TRUE(
      out.ends_with("\n転送できなかったファイルが 1個 あります。\n転送したファイルは 3個 です。\n"))
      << out;
}

// With DELETEFILE the files fetched are put on stable storage together, and their DELEs go out
// together behind the requests sent ahead, not a round trip each; a file with a partial file goes
// ahead too, with the offset its listed size and time give. Each DELE's message stays with its
// own file.
TEST_F(FetchFaultsTest, WithDeleteFileTheFilesFetchedAreSyncedAndDeletedTogether) {
  service.Put("a.txt", FakeFile::Of("first", kTime));
  service.Put("b.txt", FakeFile::Of("second", kTime));
  service.Put("c.txt", FakeFile::Of("third", kTime));
  WriteFile(Partial("c.txt"), "th");
  SetFileTime(Partial("c.txt"), kTime);
  service.PeekBeforeDeleteReply("a.txt");
  Configure("TRY=1\nDELETEFILE=Yes\n");

  const std::string out = agent.Run();
  EXPECT_EQ(service.LineBeforeDeleteReply(), "DELE b.txt");
  std::vector<std::string> exchanges;
  for (const std::string& line : service.Requests()) {
    if (line.starts_with("GET ") || line.starts_with("Offset:") || line.starts_with("DELE ")) {
      exchanges.push_back(line);
    }
  }
  EXPECT_EQ(exchanges, (std::vector<std::string>{"GET a.txt", "Offset: 0 0", "GET b.txt",
                                                 "Offset: 0 0", "GET c.txt", "Offset: 2 0",
                                                 "DELE a.txt", "DELE b.txt", "DELE c.txt"}));
  EXPECT_TRUE(Contains(out, "受信済みのファイルがあります。位置、2,0から再開します。\n")) << out;
  EXPECT_TRUE(Contains(out, "サーバのファイルa.txtを削除しました。\n\nb.txtを転送します。\n"))
      << out;
  EXPECT_TRUE(Contains(out, "サーバのファイルb.txtを削除しました。\n\nc.txtを転送します。\n"))
      << out;
  EXPECT_TRUE(out.ends_with("\n転送は成功しました。\n転送したファイルは 3個 です。\n")) << out;
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) EXPECT_FALSE(service.Has(name)) << name;
  EXPECT_EQ(ReadFile(Local("c.txt")), "third");
}

// "f000.txt", "f001.txt", ...: names that list in the order of their numbers.
std::string FileName(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "f%03d.txt", i);
  return text;
}

// Once the first file has arrived, the requests of several hundred small files are all on their
// way before the service answers the first of them, so that a long round trip is waited for once
// per window rather than once per few dozen files.
TEST_F(FetchFaultsTest, HundredsOfRequestsGoAheadOfTheirReplies) {
  constexpr int kFiles = 600;
  for (int i = 0; i < kFiles; ++i)
    service.Put(FileName(i), FakeFile::Of(FileName(i) + " body", kTime));
  // Behind the GET of the second file: its offset line, then the GET and offset line of each
  // later file.
  const std::size_t behind = 1 + 2 * (kFiles - 2);
  service.CountBeforeGetReply(FileName(1), behind);
  Configure("TRY=1\n");

  const std::string out = agent.Run();
  EXPECT_EQ(service.LinesBeforeGetReply(), behind);
  EXPECT_TRUE(out.ends_with("\n転送は成功しました。\n転送したファイルは 600個 です。\n")) << out;
  EXPECT_EQ(ReadFile(Local(FileName(kFiles - 1))), FileName(kFiles - 1) + " body");
}

// The requests of the lines a file sent matching `prefixes`, in order.
std::vector<std::string> RequestsOf(const FakeService& service,
                                    std::initializer_list<const char*> prefixes) {
  std::vector<std::string> lines;
  for (const std::string& line : service.Requests()) {
    for (const char* prefix : prefixes) {
      if (line.starts_with(prefix)) lines.push_back(line);
    }
  }
  return lines;
}

// The console from the banner of the file `name` on (the lines before it name the port).
std::string FromBannerOf(const std::string& out, const std::string& name) {
  const std::size_t start = out.find("\n" + name + "を転送します。\n");
  return start == std::string::npos ? out : out.substr(start);
}

// The progress bar of a file that arrives in one block.
const std::string kRulerLines =
    "0%       20%       40%       60%       80%      100%\n"
    "|.........|.........|.........|.........|.........|\n" +
    std::string(50, '*');

std::string UpperHex(std::string hex) {
  std::transform(hex.begin(), hex.end(), hex.begin(), [](char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  });
  return hex;
}

// One small file's lines when it arrives whole (under 10240 bytes: the bar fills at once), up to
// the service's digest `trailer` (by default the right one).
std::string ArrivedFileLines(const std::string& name, const std::string& content,
                             const std::string& trailer = "") {
  const std::string size = std::to_string(content.size());
  const std::string digest = UpperHex(Md5Hex(content));
  return "\n" + name + "を転送します。\nファイルサイズ Low:" + size + " High:0 （約" + size +
         "B）\nファイルの転送を開始します...\n" + kRulerLines +
         "*\nファイルの転送が完了しました。\n" + digest + "\n" +
         (trailer.empty() ? digest : trailer) + "\n";
}

// The same, moved: its DELE was answered.
std::string MovedFileLines(const std::string& name, const std::string& content) {
  return ArrivedFileLines(name, content) + "サーバのファイル" + name + "を削除しました。\n";
}

// With DELETEFILE small files still go ahead: the GETs of later files are on their way before
// the DELE of an earlier one is answered, and each file's lines, with its DELE's message, come
// out exactly as if every DELE had been answered before the next file.
TEST_F(FetchFaultsTest, WithDeleteFileSmallFilesGoAheadOfTheDeleRepliesInTheSameConsoleOrder) {
  const std::vector<std::string> names = {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "f.txt"};
  for (const std::string& name : names) service.Put(name, FakeFile::Of("moved " + name, kTime));
  Configure("TRY=1\nDELETEFILE=Yes\n");

  const std::string out = agent.Run();
  const std::vector<std::string> sent = RequestsOf(service, {"GET ", "DELE "});
  const auto at = [&](const std::string& line) {
    return std::find(sent.begin(), sent.end(), line) - sent.begin();
  };
  // Files c to f were asked for before the DELE of b was even sent.
  EXPECT_LT(at("GET f.txt"), at("DELE b.txt")) << ::testing::PrintToString(sent);
  std::string expected;
  for (const std::string& name : names) expected += MovedFileLines(name, "moved " + name);
  expected += "切断しました。\n\n転送は成功しました。\n転送したファイルは 6個 です。\n";
  EXPECT_EQ(FromBannerOf(out, "a.txt"), expected) << out;
  for (const std::string& name : names) EXPECT_FALSE(service.Has(name)) << name;
}

// Hundreds of moved files take several syncs: each file's lines still come with its own DELE's
// message, in the order of the list, and a file that cannot take its name says so in its place,
// counts as not fetched (the run does not say it succeeded) and stays on the service.
TEST_F(FetchFaultsTest, WithDeleteFileHundredsOfFilesAndAFailedRenameKeepTheConsoleOrder) {
  constexpr int kFiles = 300;
  constexpr int kBlocked = 200;
  for (int i = 0; i < kFiles; ++i)
    service.Put(FileName(i), FakeFile::Of("moved " + FileName(i), kTime));
  fs::create_directories(Local(FileName(kBlocked)) / "kept");  // the rename onto it fails
  Configure("TRY=1\nDELETEFILE=Yes\n");

  const std::string out = agent.Run();
  std::string expected;
  for (int i = 0; i < kFiles; ++i) {
    expected += i == kBlocked ? ArrivedFileLines(FileName(i), "moved " + FileName(i)) +
                                    "ファイルのリネームに失敗しました。スキップします。"
                              : MovedFileLines(FileName(i), "moved " + FileName(i));
  }
  expected +=
      "切断しました。\n\n転送できなかったファイルが 1個 あります。\n転送したファイルは 299個 "
      "です。\n";
  EXPECT_TRUE(FromBannerOf(out, FileName(0)) == expected) << out;
  for (int i = 0; i < kFiles; ++i)
    EXPECT_EQ(service.Has(FileName(i)), i == kBlocked) << FileName(i);
  EXPECT_EQ(service.RequestsStartingWith("DELE ").size(), std::size_t{kFiles - 1});
}

// A file over 1 MiB is not asked for while a DELE reply is outstanding: its progress shows as its
// body arrives, nothing held back. The files after it go ahead again.
TEST_F(FetchFaultsTest, WithDeleteFileALargeFileGoesInLockStep) {
  FakeFile large;
  large.size = 1536 * 1024;
  large.lastWrite = kTime;
  large.tail = "end";
  for (const char* name : {"a.txt", "c.txt", "d.txt"}) service.Put(name, FakeFile::Of(name, kTime));
  service.Put("b.bin", large);
  Configure("TRY=1\nDELETEFILE=Yes\n");

  const std::string out = agent.Run();
  EXPECT_EQ(RequestsOf(service, {"GET ", "DELE "}),
            (std::vector<std::string>{"GET a.txt", "DELE a.txt", "GET b.bin", "GET c.txt",
                                      "GET d.txt", "DELE b.bin", "DELE c.txt", "DELE d.txt"}));
  EXPECT_TRUE(out.ends_with("\n転送は成功しました。\n転送したファイルは 4個 です。\n")) << out;
}

// A refused GET and a wrong digest in the middle of a batch with DELETEFILE: the same counts and
// messages as in lock step, and only the files fetched whole are deleted on the service.
TEST_F(FetchFaultsTest, WithDeleteFileARefusalAndAWrongDigestInABatchDeleteOnlyWhatArrived) {
  const std::vector<std::string> names = {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "f.txt"};
  for (const std::string& name : names) service.Put(name, FakeFile::Of("moved " + name, kTime));
  FakeFile refused = FakeFile::Of("moved c.txt", kTime);
  refused.refuseGets = 1;
  refused.refuseLine = "409 Conflict.";
  service.Put("c.txt", refused);
  FakeFile wrong = FakeFile::Of("moved e.txt", kTime);
  wrong.wrongDigests = 1;
  service.Put("e.txt", wrong);
  Configure("TRY=1\nDELETEFILE=Yes\n");

  const std::string out = agent.Run();
  const std::string content = "moved ";
  EXPECT_EQ(FromBannerOf(out, "a.txt"),
            MovedFileLines("a.txt", content + "a.txt") +
                MovedFileLines("b.txt", content + "b.txt") +
                "\nc.txtを転送します。\nファイルc.txtの転送に失敗しました。409 Conflict.\n" +
                MovedFileLines("d.txt", content + "d.txt") +
                ArrivedFileLines("e.txt", content + "e.txt", "072B62D82A0A566DF13634896911B0A5") +
                "MD5が一致しません。ファイルを削除します。\n" +
                MovedFileLines("f.txt", content + "f.txt") +
                "切断しました。\n\n転送できなかったファイルが 2個 あります。\n"
                "転送したファイルは 4個 です。\n");
  // Every file was asked for ahead of the replies, the DELE of b included.
  const std::vector<std::string> sent = RequestsOf(service, {"GET ", "DELE "});
  EXPECT_LT(std::find(sent.begin(), sent.end(), "GET f.txt"),
            std::find(sent.begin(), sent.end(), "DELE b.txt"))
      << ::testing::PrintToString(sent);
  for (const char* name : {"a.txt", "b.txt", "d.txt", "f.txt"}) {
    EXPECT_FALSE(service.Has(name)) << name;
  }
  EXPECT_TRUE(service.Has("c.txt"));
  EXPECT_TRUE(service.Has("e.txt"));
  EXPECT_EQ(RequestsOf(service, {"DELE "}),
            (std::vector<std::string>{"DELE a.txt", "DELE b.txt", "DELE d.txt", "DELE f.txt"}));
}

// A file with a partial file changes on the service after the list: b.bin gets another time,
// d.bin shrinks below its partial file. The offsets that went ahead from the list are not used:
// nothing is written behind the stale bytes, nothing of them is put in place or deleted on the
// service, the files behind them arrive in step, and the next try fetches both whole.
TEST_F(FetchFaultsTest, FileChangedAfterTheListIsNeverResumedAtTheListedOffset) {
  const std::string oldB = PatternBytes(30000, 11), newB = PatternBytes(30000, 12);
  const std::string oldD = PatternBytes(20000, 13), newD = PatternBytes(9000, 14);
  service.Put("a.txt", FakeFile::Of("first", kTime));
  service.Put("b.bin", FakeFile::Of(oldB, kTime));
  service.Put("c.txt", FakeFile::Of("third", kTime));
  service.Put("d.bin", FakeFile::Of(oldD, kTime));
  WriteFile(Partial("b.bin"), oldB.substr(0, 12000));
  SetFileTime(Partial("b.bin"), kTime);
  WriteFile(Partial("d.bin"), oldD.substr(0, 15000));
  SetFileTime(Partial("d.bin"), kTime);
  bool changed = false;
  service.OnGet([&](const std::string& name) {
    if (name != "a.txt" || std::exchange(changed, true)) return;
    service.Put("b.bin", FakeFile::Of(newB, kLaterTime));
    service.Put("d.bin", FakeFile::Of(newD, kTime));
  });
  Configure("TRY=2\nDELETEFILE=Yes\n");

  const std::string out = agent.Run();
  const std::string stale =
      "ファイルの転送を開始します...\n"
      "ファイルが一覧の取得後に変更されました。受信済みのファイルを削除します。\n\n";
  EXPECT_TRUE(Contains(out, "（約29KB）\n" + stale + "c.txtを転送します。\n")) << out;
  EXPECT_TRUE(Contains(out, "（約8KB）\n" + stale.substr(0, stale.size() - 1) +
                                "切断しました。\n----------------------------\nTry[2/2]\n"))
      << out;
  EXPECT_FALSE(Contains(out, "再開します")) << out;
  EXPECT_FALSE(Contains(out, "MD5が一致しません")) << out;
  EXPECT_EQ(RequestsOf(service, {"GET ", "Offset:", "DELE "}),
            (std::vector<std::string>{"GET a.txt", "Offset: 0 0", "GET b.bin", "Offset: 12000 0",
                                      "GET c.txt", "Offset: 0 0", "GET d.bin", "Offset: 15000 0",
                                      "DELE a.txt", "DELE c.txt", "GET b.bin", "Offset: 0 0",
                                      "GET d.bin", "Offset: 0 0", "DELE b.bin", "DELE d.bin"}));
  EXPECT_TRUE(out.ends_with("\n転送は成功しました。\n転送したファイルは 4個 です。\n")) << out;
  // Compared whole, without printing the bytes.
  EXPECT_TRUE(ReadFile(Local("b.bin")) == newB) << "b.bin is not the service's new version";
  EXPECT_EQ(GetFileTime(Local("b.bin")), kLaterTime);
  EXPECT_TRUE(ReadFile(Local("d.bin")) == newD) << "d.bin is not the service's new version";
  EXPECT_FALSE(fs::exists(Partial("b.bin")));
  EXPECT_FALSE(fs::exists(Partial("d.bin")));
}

TEST_F(FetchFaultsTest, HeaderWithoutBytesEndsThePassWithQuit) {
  FakeFile empty = FakeFile::Of("not really empty", kTime);
  empty.announcedSize = 0;
  service.Put("a.txt", empty);
  service.Put("b.txt", FakeFile::Of("never asked for", kTime));
  Configure();

  const std::string out = agent.Run();
  EXPECT_TRUE(Contains(out,
                       "ファイルサイズ Low:0 High:0 （約0B）\n"
                       "不正な応答を受信しました。終了します。\n切断しました。\n"))
      << out;
  EXPECT_EQ(service.RequestsStartingWith("GET "), std::vector<std::string>{"GET a.txt"});
  EXPECT_TRUE(Contains(out, "\n転送できなかったファイルが 1個 あります。\n"));
  EXPECT_FALSE(fs::exists(Local("a.txt")));
  EXPECT_FALSE(fs::exists(Partial("a.txt")));
}

TEST_F(FetchFaultsTest, SkippingAfterTheHeaderKeepsTheConnectionInStep) {
  // A base deep enough that a name whose GET line the service takes can still be too long
  // locally: base prefix plus name one byte over the limit of a fetched file.
  const fs::path base = agent.base() / std::string(100, 'd');
  fs::create_directory(base);
  const std::size_t prefix = base.string().size() + 1;
  const std::string longName = std::string(236 + 1 - prefix, 'a');
  service.Put(longName, FakeFile::Of("long", kTime));
  service.Put("b.txt", FakeFile::Of("blocked", kTime));
  fs::create_directory(base / "_incomplete_b.txt");  // the partial file cannot be created
  service.Put("c.txt", FakeFile::Of("fine", kTime));
  agent.WriteSettings("HOST=127.0.0.1\nPORT=" + std::to_string(service.port()) +
                      "\nPASSWORD=" + kPassword + "\nBASE=" + base.string() + "\nTRY=1\n");

  const std::string out = agent.Run();
  EXPECT_TRUE(Contains(out,
                       "ファイルの転送を開始します...\n"
                       "ローカルファイル名が長すぎます。スキップします。\n\nb.txtを転送します。\n"))
      << out;
  EXPECT_TRUE(Contains(out,
                       "ファイルの転送を開始します...\n"
                       "ローカルファイルが生成できませんでした。スキップします。\n"))
      << out;
  // Each skipped exchange is ended by asking for nothing beyond the end.
  EXPECT_EQ(service.RequestsStartingWith("Offset:"),
            (std::vector<std::string>{"Offset: 4 0", "Offset: 7 0", "Offset: 0 0"}));
  EXPECT_EQ(ReadFile(base / "c.txt"), "fine");
  EXPECT_TRUE(
      Contains(out, "\n転送できなかったファイルが 2個 あります。\n転送したファイルは 1個 です。\n"))
      << out;

  // One byte shorter, the name is fetched.
  service.Put(longName.substr(1), FakeFile::Of("just fits", kTime));
  agent.Run();
  EXPECT_EQ(ReadFile(base / longName.substr(1)), "just fits");
}

TEST_F(FetchFaultsTest, FullNameTableReadsTheRestOfTheListAndAnotherPassTakesIt) {
  service.Put("a.txt", FakeFile::Of("first", kTime));
  // 9999 names that are refused without a request, filling the table to 10000.
  for (int i = 1; i <= 9999; ++i) {
    service.Put("b/" + std::to_string(100000 + i), FakeFile::Of("x", kTime));
  }
  service.Put("c.txt", FakeFile::Of("beyond the limit", kTime));
  Configure();

  const std::string out = agent.Run();
  // The reply to the first GET is read as such, not a leftover line of the list.
  EXPECT_EQ(ReadFile(Local("a.txt")), "first");
  // The file beyond the table waits for a second pass of the same try, which fetches it.
  EXPECT_EQ(Count(out, "10000個のファイルが転送待ちです。\n"), 2) << out.substr(0, 2000);
  EXPECT_EQ(Count(out, "Try["), 1);
  EXPECT_EQ(service.RequestsStartingWith("GET "),
            (std::vector<std::string>{"GET a.txt", "GET c.txt"}));
  EXPECT_EQ(ReadFile(Local("c.txt")), "beyond the limit");
  EXPECT_TRUE(out.ends_with(
      "\n転送できなかったファイルが 9999個 あります。\n転送したファイルは 2個 です。\n"));
}

TEST_F(FetchFaultsTest, MoreFilesThanTheTableTakesAreAllFetchedBeforeTheRunSaysSuccess) {
  for (int i = 0; i <= 10000; ++i) {
    service.Put(std::to_string(100000 + i), FakeFile::Of("x", kTime));
  }
  Configure();

  const std::string out = agent.Run();
  EXPECT_EQ(Count(out, "Try["), 1);
  EXPECT_TRUE(out.ends_with("\n転送は成功しました。\n転送したファイルは 10001個 です。\n"))
      << out.substr(out.size() - std::min<std::size_t>(out.size(), 500));
  EXPECT_EQ(ReadFile(Local("110000")), "x");
}

// A file the agent cannot write (here: beyond the file-size limit, whose signal the agent takes
// as a write error itself) is counted and skipped in step; the files after it still arrive, and
// the next run resumes it.
TEST_F(FetchFaultsTest, LocalWriteErrorSkipsThatFileTheRestArriveAndTheNextRunResumes) {
  const std::string content = PatternBytes(150000, 8);
  service.Put("a.bin", FakeFile::Of(content, kTime));
  service.Put("b.bin", FakeFile::Of("second", kTime));
  Configure("TRY=3\n");

  LaunchOptions limited;
  limited.fileSizeLimit = 100000;         // the write beyond it fails
  limited.fileSizeSignalIgnored = false;  // unless the agent ignores it, SIGXFSZ ends it
  int exitCode = -1;
  const std::string first = agent.Run(limited, &exitCode);
  EXPECT_EQ(exitCode, 0);
  EXPECT_TRUE(
      Contains(first, "ローカルファイル書き込みエラー。スキップします。\n\nb.binを転送します。\n"))
      << first;
  // Every try met the same limit; the second file arrived in the first.
  EXPECT_EQ(service.RequestsStartingWith("GET "),
            (std::vector<std::string>{"GET a.bin", "GET b.bin", "GET a.bin", "GET a.bin"}));
  EXPECT_EQ(ReadFile(Local("b.bin")), "second");
  EXPECT_TRUE(first.ends_with(
      "\n転送できなかったファイルが 1個 あります。\n転送したファイルは 1個 です。\n"))
      << first;
  ASSERT_EQ(fs::file_size(Partial("a.bin")), 100000u);
  EXPECT_EQ(GetFileTime(Partial("a.bin")), kTime);

  const std::string second = agent.Run();
  EXPECT_TRUE(Contains(second, "位置、100000,0から再開します。\n")) << second;
  EXPECT_EQ(ReadFile(Local("a.bin")), content);
  EXPECT_EQ(ReadFile(Local("b.bin")), "second");
}

// A name listed twice (a directory that changed while it was listed) is fetched and deleted once.
// Fetched twice into one partial file, the second rename found no partial file, removed the
// copy just placed, and the DELE of the first still went out: the file was in neither place.
TEST_F(FetchFaultsTest, WithDeleteFileANameListedTwiceIsFetchedAndDeletedOnce) {
  FakeFile twice = FakeFile::Of("the only copy", kTime);
  twice.records = 2;
  service.Put("x.txt", twice);
  service.Put("y.txt", FakeFile::Of("other", kTime));
  Configure("TRY=1\nDELETEFILE=Yes\n");

  const std::string out = agent.Run();
  EXPECT_TRUE(Contains(out, "2個のファイルが転送待ちです。\n")) << out;
  const std::vector<std::string> sent = RequestsOf(service, {"GET ", "DELE "});
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "GET x.txt"), 1) << ::testing::PrintToString(sent);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "DELE x.txt"), 1);
  EXPECT_EQ(ReadFile(Local("x.txt")), "the only copy");
  EXPECT_TRUE(out.ends_with("\n転送は成功しました。\n転送したファイルは 2個 です。\n")) << out;
}

// A local write error in the middle of a batch with DELETEFILE: that file is never deleted on the
// service, the files before and after it are put in place and deleted as usual.
TEST_F(FetchFaultsTest, WithDeleteFileAWriteErrorInABatchSkipsOnlyThatFile) {
  service.Put("a.txt", FakeFile::Of("first", kTime));
  service.Put("b.txt", FakeFile::Of("second", kTime));
  service.Put("c.bin", FakeFile::Of(PatternBytes(150000, 8), kTime));
  service.Put("d.txt", FakeFile::Of("fourth", kTime));
  Configure("TRY=1\nDELETEFILE=Yes\n");

  LaunchOptions limited;
  limited.fileSizeLimit = 100000;  // the write beyond it fails
  int exitCode = -1;
  const std::string out = agent.Run(limited, &exitCode);
  EXPECT_TRUE(Contains(out, "サーバのファイルb.txtを削除しました。\n\nc.binを転送します。\n"))
      << out;
  EXPECT_TRUE(
      Contains(out, "ローカルファイル書き込みエラー。スキップします。\n\nd.txtを転送します。\n"))
      << out;
  EXPECT_TRUE(
      out.ends_with("\n転送できなかったファイルが 1個 あります。\n転送したファイルは 3個 です。\n"))
      << out;
  EXPECT_EQ(RequestsOf(service, {"DELE "}),
            (std::vector<std::string>{"DELE a.txt", "DELE b.txt", "DELE d.txt"}));
  EXPECT_TRUE(service.Has("c.bin"));
  EXPECT_EQ(ReadFile(Local("d.txt")), "fourth");
}

// A file emptied on the service after the list ends the pass as in lock step, while the DELE of
// an earlier file is on its way behind the requests sent ahead: that DELE is still said.
TEST_F(FetchFaultsTest, WithDeleteFileAFileEmptiedAfterTheListStillSaysTheEarlierDele) {
  service.Put("a.txt", FakeFile::Of("first", kTime));
  service.Put("b.txt", FakeFile::Of("second", kTime));
  service.Put("c.txt", FakeFile::Of("third", kTime));
  service.OnGet([this](const std::string& name) {
    if (name == "a.txt") service.Put("b.txt", FakeFile::Of("", kTime));
  });
  Configure("TRY=1\nDELETEFILE=Yes\n");

  const std::string out = agent.Run();
  EXPECT_EQ(FromBannerOf(out, "a.txt"),
            MovedFileLines("a.txt", "first") +
                "\nb.txtを転送します。\nファイルサイズ Low:0 High:0 （約0B）\n"
                "不正な応答を受信しました。終了します。\n切断しました。\n\n"
                "転送できなかったファイルが 1個 あります。\n転送したファイルは 1個 です。\n");
  EXPECT_FALSE(service.Has("a.txt"));
  EXPECT_TRUE(service.Has("c.txt"));
  EXPECT_FALSE(fs::exists(Local("c.txt")));
}

}  // namespace
}  // namespace quarv::test
