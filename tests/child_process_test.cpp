// The one child runner, on its edge cases: the console helper that holds
// the pipe without writing, a descendant that holds it, no job, the cap, a
// child that floods and one that never ends.
#include <string>

#include <windows.h>

#include <gtest/gtest.h>

#include "support/threads/child_process.h"
#include "tests/plugin_fixture.h"

using Quorlin::ChildOptions;
using Quorlin::ChildProcess;

namespace {

std::string child(const std::string& arguments) {
  return "\"" + VardokTest::programFolder() + "vardok-test-child.exe\" " + arguments;
}

std::unique_ptr<ChildProcess> started(const std::string& commandLine, const ChildOptions& options = ChildOptions()) {
  ChildProcess::Failure failure;
  DWORD error;
  std::unique_ptr<ChildProcess> process = ChildProcess::start(commandLine, options, &failure, &error);
  EXPECT_TRUE(process) << commandLine << ": error " << error;
  if (process) process->resume();
  return process;
}

TEST(ChildProcess, ReadsOutputAndErrorsAndTheExitCode) {
  const auto process = started("cmd /c echo out& echo err 1>&2& exit 7");
  ASSERT_TRUE(process);
  EXPECT_TRUE(process->read(20000));
  EXPECT_EQ(process->output(), "out\r\nerr \r\n");
  EXPECT_EQ(process->exitCode(), 7u);
}

TEST(ChildProcess, TheConsoleHelperDoesNotHoldTheEnd) {
  // Wine gives every child a console helper that holds the pipe; cmd and
  // its own helper are gone long before the helper would let go.
  const DWORD start = GetTickCount();
  const auto process = started("cmd /c echo hello");
  ASSERT_TRUE(process);
  EXPECT_TRUE(process->read(20000));
  EXPECT_EQ(process->output(), "hello\r\n");
  EXPECT_LT(GetTickCount() - start, 3000u);
}

TEST(ChildProcess, ADescendantHoldingThePipeGetsTheDrainTimeOnly) {
  for (bool job : {true, false}) {
    SCOPED_TRACE(job ? "in a job" : "without a job");
    ChildOptions options;
    options.drainMs = 300;
    options.job = job;
    const DWORD start = GetTickCount();
    const auto process = started(child("spawn 6000"), options);
    ASSERT_TRUE(process);
    EXPECT_EQ(process->job() != nullptr, job);
    EXPECT_TRUE(process->read(20000));
    EXPECT_LT(GetTickCount() - start, 4000u);
    EXPECT_EQ(process->output(), "direct\n");
    EXPECT_EQ(process->exitCode(), 3u);
    process->endTree(1);
  }
}

TEST(ChildProcess, AFloodIsReadToItsEndAndCappedWhereAsked) {
  ChildOptions options;
  options.keep = 1000;
  const auto process = started(child("write 8"), options);
  ASSERT_TRUE(process);
  EXPECT_TRUE(process->read(60000));
  EXPECT_EQ(process->output().size(), 1000u);
  EXPECT_EQ(process->output().substr(0, 64), std::string(63, 'x') + "\n");
  EXPECT_EQ(process->exitCode(), 0u);
}

TEST(ChildProcess, AChildThatNeverEndsIsEndedWithItsTree) {
  const std::string pids = VardokTest::uniqueTempFile("vardok-runner-tree");
  const auto process = started(child("tree " + pids + " 30000"));
  ASSERT_TRUE(process);
  const DWORD start = GetTickCount();
  EXPECT_FALSE(process->read(1500));  // still running at the deadline
  EXPECT_GE(GetTickCount() - start, 1400u);
  std::vector<DWORD> tree;
  for (int i = 0; i < 100 && (tree = VardokTest::treePids(VardokTest::readFile(pids))).size() < 2; ++i) Sleep(50);
  ASSERT_EQ(tree.size(), 2u);
  process->endTree(9);
  process->drain();
  EXPECT_EQ(process->exitCode(), 9u);
  for (DWORD pid : tree) EXPECT_TRUE(VardokTest::CheckTest::processGone(pid, 2000)) << pid;
  DeleteFileA(pids.c_str());
}

TEST(ChildProcess, NamesWhatCouldNotBeMade) {
  ChildProcess::Failure failure;
  DWORD error;
  EXPECT_FALSE(ChildProcess::start("no-such-program-vardok.exe", ChildOptions(), &failure, &error));
  EXPECT_EQ(failure, ChildProcess::Failure::Process);
  EXPECT_NE(error, 0u);
  ChildOptions noPipe;
  noPipe.createPipe = [](HANDLE*, HANDLE*) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return false;
  };
  EXPECT_FALSE(ChildProcess::start("cmd /c exit 0", noPipe, &failure, &error));
  EXPECT_EQ(failure, ChildProcess::Failure::Pipe);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
  // Past the platform's limit a command line is refused, never cut short.
  EXPECT_TRUE(ChildProcess::start("cmd /c rem " + std::string(32000, 'x'), ChildOptions(), &failure, &error));
  EXPECT_FALSE(ChildProcess::start("cmd /c rem " + std::string(32757, 'x'), ChildOptions(), &failure, &error));
  EXPECT_EQ(failure, ChildProcess::Failure::Process);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

}  // namespace
