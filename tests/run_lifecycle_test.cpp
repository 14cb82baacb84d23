// A check never goes silent: overdue runs are reported, runs nobody waits
// for are ended with their process tree, a contact has one run at a time,
// children read NUL, output is kept whole, and detach cannot deadlock.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checks/registry.h"
#include "checks/run_queue.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokHost::HostEvent;
using VardokTest::CheckTest;
using VardokTest::treePids;
using VardokTest::uniqueTempFile;
using VardokTest::MessageBoxRecorder;

namespace {

// --- through the linked library, whose limit base is a test seam ---

class Overdue : public CheckTest {
 protected:
  Overdue() : CheckTest(false) {}
  void SetUp() override {
    CheckTest::SetUp();
    runQueue().setLimitBaseForTests(kLimitMs);
    reopenQueue();
  }
  void TearDown() override {
    runQueue().setLimitBaseForTests(0);
    CheckTest::TearDown();
  }
  static constexpr uint64_t kLimitMs = 2500;
};

TEST_F(Overdue, HungCheckIsReportedCriticalThenItsOwnResultAndTheScheduleGoesOn) {
  const DWORD start = GetTickCount();
  const int contact = addCheck(child("sleep 5000"), 0, 1);
  ASSERT_TRUE(waitForReports(contact, 1, 8000));
  const DWORD overdueAt = GetTickCount() - start;
  EXPECT_GE(overdueAt, 2400u);
  EXPECT_LE(overdueAt, 4500u);
  EXPECT_EQ(host.getInt(contact, kColumnStatus), kStatusCritical);
  EXPECT_EQ(host.statusText(contact), "Polecenie dzia\xB3" "a od 2 s");
  const auto raised = host.messages(HM_NOTIFY_RAISE);
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(raised[0].text, "vardokCritical");
  ASSERT_EQ(host.messages(HM_NOTIFY_SHOW).size(), 1u);
  bool logged = false;
  for (const std::string& line : host.logLines())
    logged |= line.find("overdue") != std::string::npos && line.find("sleep 5000") != std::string::npos &&
              line.find("2 s") != std::string::npos;
  EXPECT_TRUE(logged);

  // The run was not stopped: its own result follows, and then the next run.
  ASSERT_TRUE(waitForReports(contact, 2, 8000));
  EXPECT_EQ(host.getInt(contact, kColumnStatus), kStatusOk);
  EXPECT_EQ(host.statusText(contact), "OK");
  EXPECT_GE(GetTickCount() - start, 4900u);
  ASSERT_TRUE(host.pumpUntil([&] { return runQueue().running() == 1; }, 3000));
}

TEST_F(Overdue, CheckButtonEndsAnOverdueRunAndStartsAtOnce) {
  const std::string pids = uniqueTempFile("vardok-button");
  const int contact = addCheck(child("tree " + pids + " 30000"), 0, 1);
  ASSERT_TRUE(waitForReports(contact, 1, 8000));  // overdue
  const std::vector<DWORD> tree = treePids(readTempFile(pids));
  ASSERT_EQ(tree.size(), 2u);
  setCommand(contact, "cmd /c echo now");
  const DWORD pressed = GetTickCount();
  pressCheckButton(contact);
  ASSERT_TRUE(waitForBoxes(1, 5000));
  EXPECT_LE(GetTickCount() - pressed, 2000u);
  EXPECT_EQ(MessageBoxRecorder::shown()[0].text, "now\r\n");
  EXPECT_TRUE(processGone(tree[0], 1000));
  EXPECT_TRUE(processGone(tree[1], 1000));
  DeleteFileA(pids.c_str());
}

TEST_F(Overdue, CheckButtonWaitsForARunThatIsNotOverdue) {
  const int contact = addCheck(child("sleep 1500"), 100, 1);
  runFromMenu(contact);  // the first run, interactive
  host.pumpFor(300);
  setCommand(contact, "cmd /c echo second");
  pressCheckButton(contact);
  ASSERT_TRUE(waitForBoxes(1, 8000));
  ASSERT_TRUE(waitForReports(contact, 2, 8000));
  // The first run (no output: no box) ended by itself before the second.
  EXPECT_EQ(MessageBoxRecorder::shown().back().text, "second\r\n");
  EXPECT_EQ(host.messages(HM_NOTIFY_RAISE).size(), 0u);  // never overdue
}

// --- through the real DLL ---

class Lifecycle : public CheckTest {
 protected:
  Lifecycle() : CheckTest(true) {}
  // A contact whose run has a child that started a grandchild; answers
  // both pids once they run.
  std::vector<DWORD> startTree(int* contact, const std::string& pids) {
    *contact = addCheck(child("tree " + pids + " 30000"), 0, 1);
    std::vector<DWORD> tree;
    host.pumpUntil([&] { return (tree = treePids(readTempFile(pids))).size() == 2; }, 10000);
    return tree;
  }
  void expectEnded(const std::vector<DWORD>& tree, int contact) {
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_TRUE(processGone(tree[0], 1000));
    EXPECT_TRUE(processGone(tree[1], 1000));
    host.pumpFor(300);
    EXPECT_EQ(reports(contact), 0u);
  }
};

TEST_F(Lifecycle, RunsNobodyWaitsForAreEndedWithTheirTree) {
  const std::string pids = uniqueTempFile("vardok-tree");
  int contact = 0;

  auto tree = startTree(&contact, pids);
  host.post(HM_CONTACT_REMOVING, contact);
  expectEnded(tree, contact);

  DeleteFileA(pids.c_str());
  tree = startTree(&contact, pids);
  host.setInt(contact, enabledColumn, 0);
  host.postChanged(contact, 0, kNetwork);
  expectEnded(tree, contact);

  DeleteFileA(pids.c_str());
  tree = startTree(&contact, pids);
  setCommand(contact, "cmd /c exit 0");
  host.setInt(contact, intervalColumn, 100);
  host.postChanged(contact, 1, kNetwork);  // the command changed
  expectEnded(tree, contact);

  DeleteFileA(pids.c_str());
  tree = startTree(&contact, pids);
  host.setInt(contact, kColumnNetwork, 3);
  host.postChanged(contact, 0, kNetwork);  // left network 82
  expectEnded(tree, contact);

  DeleteFileA(pids.c_str());
  tree = startTree(&contact, pids);
  host.shutDown();  // detach, then FreeLibrary
  expectEnded(tree, contact);
  host.pumpFor(500);  // nothing runs into unloaded code
  DeleteFileA(pids.c_str());
}

TEST_F(Lifecycle, ARecreatedContactNeverHasTwoRunsAtOnce) {
  const std::string stamps = uniqueTempFile("vardok-stamps");
  const int contact = addCheck(child("stamp " + stamps + " 2500"), 1, 1);
  for (int i = 0; i < 4; ++i) {
    host.pumpFor(1700);
    host.postChanged(contact, i % 2 ? 2 : 1, kNetwork);  // recreates the item
  }
  host.pumpFor(6000);
  // Each line is "S tick pid" or "E tick pid"; a run is an S followed by
  // its E, or an S alone when it was ended. No other run may start between
  // a run's S and its E.
  std::istringstream lines(readTempFile(stamps));
  std::string kind;
  uint64_t tick = 0;
  DWORD pid = 0, lastStarted = 0;
  int starts = 0, ends = 0;
  while (lines >> kind >> tick >> pid) {
    if (kind == "S") {
      ++starts;
      lastStarted = pid;
    } else {
      ++ends;
      EXPECT_EQ(pid, lastStarted) << "another run started during the run of " << pid;
    }
  }
  EXPECT_GE(starts, 4);
  EXPECT_GE(ends, 1);
  DeleteFileA(stamps.c_str());
}

TEST_F(Lifecycle, CommandsThatReadInputEndAtOnce) {
  const int pause = addCheck("cmd /c pause", 0, 1);
  const int prompt = addCheck("cmd /c set /p x=", 0, 1);
  const int more = addCheck("more", 0, 1);
  EXPECT_TRUE(waitForReports(pause, 1, 10000));
  EXPECT_TRUE(waitForReports(prompt, 1, 10000));
  EXPECT_TRUE(waitForReports(more, 1, 10000));
}

TEST_F(Lifecycle, Utf16OutputReadsAsTheSameText) {
  const int narrow = addCheck("cmd /c echo hello world", 0, 1);
  const int wide = addCheck("cmd /u /c echo hello world", 0, 1);
  const int marked = addCheck(child("utf16"), 0, 1);
  const int bare = addCheck(child("utf16 bare"), 0, 1);
  for (int contact : {narrow, wide, marked, bare}) ASSERT_TRUE(waitForReports(contact, 1, 10000));
  const std::string expected = host.getText(narrow, kColumnDescription).value_or("?");
  EXPECT_EQ(expected, "hello world\r\n");
  for (int contact : {wide, marked, bare}) EXPECT_EQ(host.getText(contact, kColumnDescription).value_or(""), expected);
}

TEST_F(Lifecycle, DetachReturnsWhileAWorkersCallWaitsForTheMainThread) {
  host.serveCallsOnThisThread(true);
  const int contact = addCheck(child("sleep 200"), 0, 1);
  // Wait alertably (the timer routine queues the run) but without pumping
  // messages, until a worker's call waits for this thread.
  for (int i = 0; i < 500 && host.callsWaitingForMainThread() == 0; ++i) SleepEx(10, TRUE);
  ASSERT_GT(host.callsWaitingForMainThread(), 0);
  const DWORD start = GetTickCount();
  host.post(HM_DETACH_CORE);
  EXPECT_LE(GetTickCount() - start, 5500u);
  EXPECT_EQ(host.callsWaitingForMainThread(), 0);
  // No call reaches the host afterwards.
  const size_t events = host.events().size();
  host.pumpFor(500);
  EXPECT_EQ(host.events().size(), events);
  host.serveCallsOnThisThread(false);
  (void)contact;
}

}  // namespace
