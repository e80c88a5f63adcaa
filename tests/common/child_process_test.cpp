// The test helpers' child processes, on each system: arguments, working directory, captured
// output, exit codes, and ending a child. The child is this test program itself, running one of
// the helper tests below (disabled, so that they run only when asked for by name).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/module_path.h"
#include "tests/support/test_support.h"

namespace quarv {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Self() {
  char path[4096];
  EXPECT_GT(platform::ExecutablePath(path, sizeof path), 0u);
  return path;
}

std::vector<std::string> HelperCommand(const char* helper) {
  return {Self(), "--gtest_also_run_disabled_tests",
          std::string("--gtest_filter=ChildProcessHelper.DISABLED_") + helper};
}

TEST(ChildProcessHelper, DISABLED_PrintsItsArguments) {
  for (const std::string& argument : ::testing::internal::GetArgvs()) {
    std::cout << "[" << argument << "]\n";
  }
}

TEST(ChildProcessHelper, DISABLED_WritesInItsDirectoryAndEndsWithThree) {
  std::ofstream("made-here.txt") << "here";
  std::cerr << "to standard error\n";
  std::cerr.flush();
  std::cout.flush();
  std::exit(3);
}

TEST(ChildProcessHelper, DISABLED_WaitsLong) {
  std::cout << "waiting" << std::endl;
  std::this_thread::sleep_for(60s);
}

TEST(ChildProcessTest, ArgumentsArriveAsGiven) {
  test::TempDir dir;
  std::vector<std::string> command = HelperCommand("PrintsItsArguments");
  const std::vector<std::string> odd = {"two words",  "a \"quoted\" word", "back\\slash",
                                        "trailing\\", "trailing space\\ ", ""};
  command.insert(command.end(), odd.begin(), odd.end());
  int code = -1;
  const std::string out = test::RunToEnd(command, dir.path(), 60s, &code);
  EXPECT_EQ(code, 0) << out;
  for (const std::string& argument : odd) {
    EXPECT_NE(out.find("[" + argument + "]"), std::string::npos) << argument << "\n" << out;
  }
}

TEST(ChildProcessTest, RunsInItsDirectoryWithBothOutputsAndItsExitCode) {
  test::TempDir dir;
  test::ChildProcess child;
  ASSERT_TRUE(child.Start(HelperCommand("WritesInItsDirectoryAndEndsWithThree"), dir.path()));
  int code = -1;
  ASSERT_TRUE(child.Wait(60s, &code));
  EXPECT_EQ(code, 3);
  EXPECT_FALSE(child.Running());
  EXPECT_EQ(test::ReadFile(dir.path() / "made-here.txt"), "here");
  EXPECT_NE(child.Stderr().find("to standard error"), std::string::npos) << child.Stderr();
  EXPECT_NE(child.Stdout().find("DISABLED_WritesInItsDirectoryAndEndsWithThree"), std::string::npos)
      << child.Stdout();
}

TEST(ChildProcessTest, KillAndSignalEndAChildWithTheSignalsExitCode) {
  test::TempDir dir;
  {
    test::ChildProcess child;
    ASSERT_TRUE(child.Start(HelperCommand("WaitsLong"), dir.path()));
    EXPECT_TRUE(child.Running());
    EXPECT_FALSE(child.Wait(100ms));
    child.Kill();
    int code = -1;
    ASSERT_TRUE(child.Wait(0ms, &code));
    EXPECT_EQ(code, 128 + 9);
    EXPECT_FALSE(child.Running());
  }
  {
    test::ChildProcess child;
    ASSERT_TRUE(child.Start(HelperCommand("WaitsLong"), dir.path()));
    // Once the child prints, it is in the test and has no handler of its own for the signal.
    for (int i = 0; i < 600 && child.Stdout().find("waiting") == std::string::npos; ++i) {
      std::this_thread::sleep_for(50ms);
    }
    child.Signal(SIGTERM);
    int code = -1;
    ASSERT_TRUE(child.Wait(30s, &code));
    EXPECT_EQ(code, 128 + SIGTERM);
  }
  // A child that is still running when its object goes is ended, not left behind.
  test::ChildProcess left;
  ASSERT_TRUE(left.Start(HelperCommand("WaitsLong"), dir.path()));
}

TEST(ChildProcessTest, AProgramThatDoesNotExistIsReported) {
  test::TempDir dir;
  int code = 0;
  const std::string missing = (dir.path() / "no-such-program").string();
  test::RunToEnd({missing}, dir.path(), 30s, &code);
  EXPECT_NE(code, 0);
}

}  // namespace
}  // namespace quarv
