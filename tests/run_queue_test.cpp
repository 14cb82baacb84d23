// The run queue: due order, a bound on runs at once that hung checks and
// open message boxes cannot exhaust, interactive runs first, and detach
// with a full queue.
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checks/run_queue.h"
#include "hostapi/messages.h"
#include "hostapi/protocol.h"
#include "support/threads/unique_handle.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokTest::CheckTest;
using VardokTest::MessageBoxRecorder;

namespace {

class Queue : public CheckTest {
 protected:
  Queue() : CheckTest(false) {}
  // Runs keep their place in the bound while they wait, unless a test
  // says otherwise: the order and bound tests use children that sleep.
  void open(unsigned bound, uint64_t limitMs = 0, uint64_t releaseWaitingMs = 600000, unsigned ceiling = 0) {
    runQueue().setBoundForTests(bound, ceiling);
    runQueue().setLimitBaseForTests(limitMs);
    runQueue().setReleaseWaitingForTests(releaseWaitingMs);
    reopenQueue();
  }
  void TearDown() override {
    MessageBoxRecorder::holdUntil(nullptr);
    runQueue().setBoundForTests(0);
    runQueue().setLimitBaseForTests(0);
    runQueue().setReleaseWaitingForTests(0);
    CheckTest::TearDown();
  }
  // The order in which contacts first reported.
  std::vector<int> reportOrder() const {
    std::vector<int> order;
    for (const auto& e : host.messages(HM_CONTACT_REFRESH))
      if (std::find(order.begin(), order.end(), e.p1()) == order.end()) order.push_back(e.p1());
    return order;
  }
  // A contact that runs once, at once, when enabled.
  int once(const std::string& command) { return addCheck(command, 100000, 0); }
  void fire(int contact) {
    host.setInt(contact, enabledColumn, 1);
    host.setInt(contact, intervalColumn, 0);
    host.postChanged(contact, 0, kNetwork);
  }
};

TEST_F(Queue, RunsStartInDueOrderAndInteractiveRunsFirst) {
  open(1);
  const int busy = once(child("sleep 800"));
  const int first = once("cmd /c exit 0");
  const int second = once("cmd /c exit 0");
  const int asked = once("cmd /c exit 0");
  fire(busy);
  host.pumpUntil([] { return runQueue().running() == 1; }, 5000);
  fire(first);
  host.pumpFor(30);
  fire(second);
  runFromMenu(asked);  // interactive: goes before the scheduled ones
  ASSERT_TRUE(waitForReports(second, 1, 10000));
  EXPECT_EQ(reportOrder(), (std::vector<int>{busy, asked, first, second}));
}

TEST_F(Queue, AtMostTheBoundRunAtOnce) {
  open(2);
  const std::string stamps = writeTempFile("vardok-bound-" + std::to_string(GetCurrentProcessId()) + ".txt", "");
  std::vector<int> contacts;
  for (int i = 0; i < 6; ++i) contacts.push_back(once(child("stamp " + stamps + " 300")));
  unsigned most = 0;
  for (int contact : contacts) fire(contact);
  host.pumpUntil([&] {
    most = std::max(most, runQueue().counting());
    for (int contact : contacts)
      if (reports(contact) == 0) return false;
    return true;
  }, 20000);
  EXPECT_LE(most, 2u);
  // What the children saw: never more than two running at once.
  std::istringstream lines(readTempFile(stamps));
  std::string kind;
  uint64_t tick;
  DWORD pid;
  std::vector<std::pair<uint64_t, int>> edges;
  while (lines >> kind >> tick >> pid) edges.push_back({tick, kind == "S" ? 1 : -1});
  std::sort(edges.begin(), edges.end());  // an end sorts before a start at the same tick
  int now = 0, peak = 0;
  for (const auto& edge : edges) peak = std::max(peak, now += edge.second);
  EXPECT_GE(edges.size(), 12u);
  EXPECT_LE(peak, 2);
  DeleteFileA(stamps.c_str());
}

TEST_F(Queue, AnOverdueRunDoesNotBlockTheQueue) {
  open(1, 1000);
  const int hung = once(child("sleep 20000"));
  const int other = once("cmd /c exit 0");
  fire(hung);
  host.pumpUntil([] { return runQueue().running() == 1; }, 5000);
  fire(other);
  ASSERT_TRUE(waitForReports(other, 1, 5000));  // the hung one became overdue after 1 s
  EXPECT_EQ(host.getInt(hung, kColumnStatus), kStatusCritical);
  // Still running, and no longer counted against the bound.
  EXPECT_EQ(runQueue().running() - runQueue().counting(), 1u);
}

TEST_F(Queue, ASlowRunLeavesThePlaceItWaitsInToDueChecks) {
  open(1, 0, 300);
  const int slow = once(child("sleep 6000"));
  const int quick = addCheck("cmd /c exit 0", 0, 0);
  fire(slow);
  ASSERT_TRUE(host.pumpUntil([] { return runQueue().running() == 1; }, 5000));
  fire(quick);
  // Served again and again while the slow one waits for its child; the
  // slow one still runs, and no longer counts.
  EXPECT_TRUE(waitForReports(quick, 3, 5000));
  EXPECT_EQ(reports(slow), 0u);
  EXPECT_EQ(runQueue().running() - runQueue().counting(), 1u);
  EXPECT_TRUE(waitForReports(slow, 1, 10000));
}

TEST_F(Queue, RunsInProgressStayUnderTheCeilingAndTheExtraWorkersEnd) {
  open(1, 0, 100, 3);
  std::vector<int> slow;
  for (int i = 0; i < 6; ++i) slow.push_back(once(child("sleep 1500")));
  for (int contact : slow) fire(contact);
  unsigned most = 0, mostThreads = 0;
  host.pumpUntil([&] {
    most = std::max(most, runQueue().running());
    mostThreads = std::max(mostThreads, runQueue().threads());
    for (int contact : slow)
      if (reports(contact) == 0) return false;
    return true;
  }, 30000);
  for (int contact : slow) EXPECT_GE(reports(contact), 1u);
  EXPECT_EQ(most, 3u);
  // The workers (at most one per run in progress) and the watchdog.
  EXPECT_LE(mostThreads, 4u);
  // Back to the bound's one worker and the watchdog once the runs are over.
  for (int contact : slow) {
    host.setInt(contact, enabledColumn, 0);
    host.postChanged(contact, 0, kNetwork);
  }
  EXPECT_TRUE(host.pumpUntil([&] { return runQueue().threads() == 2; }, 5000)) << runQueue().threads() << " " << runQueue().running();
}

TEST_F(Queue, AFailureIsReportedAtOnceAndItsBoxHoldsNothing) {
  open(1);
  const Quorlin::EventHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  MessageBoxRecorder::holdUntil(release.get());
  const int bad = once("no-such-program-vardok.exe");
  const int other = addCheck("cmd /c exit 0", 0, 1);
  fire(bad);
  ASSERT_TRUE(waitForBoxes(1, 5000));
  // Reported before its box, and critical, while the box is up.
  EXPECT_EQ(reports(bad), 1u);
  EXPECT_EQ(host.getInt(bad, kColumnStatus), kStatusCritical);
  const size_t before = reports(other);
  EXPECT_TRUE(waitForReports(other, before + 2, 10000));  // served while the box is up
  // A second failure of the same contact: reported, its box waits behind the first.
  fire(bad);
  EXPECT_TRUE(waitForReports(bad, 2, 5000));
  EXPECT_EQ(runQueue().boxesUp(), 1u);
  EXPECT_EQ(MessageBoxRecorder::shown().size(), 1u);
  SetEvent(release.get());
  EXPECT_TRUE(waitForBoxes(2, 5000));
  EXPECT_TRUE(host.pumpUntil([] { return runQueue().boxesUp() == 0; }, 5000));
}

TEST_F(Queue, DetachWithAFullQueueEndsEveryWorkerAndCallsTheHostNoMore) {
  open(1);
  std::vector<int> contacts;
  for (int i = 0; i < 20; ++i) contacts.push_back(addCheck(child("sleep 300"), 0, 1));
  host.pumpUntil([] { return runQueue().running() == 1; }, 5000);
  host.post(HM_DETACH_CORE);
  const size_t events = host.events().size();
  EXPECT_TRUE(host.pumpUntil([] { return runQueue().threads() == 0; }, 5000));
  host.pumpFor(500);
  EXPECT_EQ(host.events().size(), events);
}

}  // namespace
