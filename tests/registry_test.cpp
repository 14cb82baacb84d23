// The registry: one item per contact, kept, restarted and dropped by the
// contact events.
#include <thread>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "checks/item.h"
#include "checks/registry.h"
#include "checks/test_seams.h"
#include "host/lib/pe_image.h"
#include "tests/firing_fixture.h"

using namespace Vardok;

namespace {

class Registry : public VardokTest::FiringTest {
 public:
  int addCheckForTest(const std::string& command, int interval, int enabled) {
    return addCheck(command, interval, enabled);
  }
};

// The registry is main-thread code: a call from another thread breaks the
// rule its header states, and fails the test that makes it.
TEST(ThreadRules, ARegistryCallFromAnotherThreadFailsTheTest) {
  EXPECT_NONFATAL_FAILURE_ON_ALL_THREADS(std::thread([] { runItemNow(0x40001234, std::string()); }).join(),
                                         "mainThread.isCurrent()");
}

TEST_F(Registry, DisabledItemNeverFires) {
  const int contact = addCheck("cmd /c exit 0", 1, 0);
  EXPECT_EQ(items().count(contact), 1u);
  host.pumpFor(1600);
  EXPECT_TRUE(firingTimes(contact).empty());
  EXPECT_EQ(reports(contact), 0u);
}

TEST_F(Registry, EnsureItemTwiceKeepsOneItemAndRestartsTheInterval) {
  const DWORD start = GetTickCount();
  const int contact = addCheck("cmd /c exit 0", 1, 1);
  const Item* first = items().at(contact).get();
  host.pumpFor(600);
  host.postChanged(contact, 0, kNetwork);
  EXPECT_EQ(items().size(), 1u);
  EXPECT_EQ(items().at(contact).get(), first);
  ASSERT_TRUE(host.pumpUntil([&] { return !firingTimes(contact).empty(); }, 5000));
  EXPECT_GE(firingTimes(contact)[0] - start, 1500u);
}

TEST_F(Registry, RemovedItemStopsFiring) {
  const int contact = addCheck("cmd /c exit 0", 1, 1);
  host.pumpFor(300);
  host.post(HM_CONTACT_REMOVING, contact);
  EXPECT_EQ(items().count(contact), 0u);
  host.pumpFor(1500);
  EXPECT_TRUE(firingTimes(contact).empty());
  // An absent id changes nothing.
  const int other = addCheck("cmd /c exit 0", 100, 1);
  removeItem(0x4FFFFFFF);
  EXPECT_EQ(items().count(other), 1u);
}

TEST_F(Registry, RemovingWhileTheRearmingCallIsQueuedCrashesNothing) {
  const int contact = addCheck("cmd /c exit 0", 0, 1);
  ASSERT_TRUE(host.pumpUntil([&] { return !firingTimes(contact).empty(); }, 5000));
  // Wait without an alertable wait until the run has reported: its
  // re-arming call is then queued to this thread.
  for (int i = 0; i < 1000 && reports(contact) == 0; ++i) Sleep(10);
  ASSERT_EQ(reports(contact), 1u);
  Sleep(50);
  host.post(HM_CONTACT_REMOVING, contact);
  host.pumpFor(300);
  EXPECT_EQ(reports(contact), 1u);
  EXPECT_TRUE(items().empty());
}

HANDLE g_madeTimer = nullptr;

HANDLE WINAPI recordTimer(LPSECURITY_ATTRIBUTES security, BOOL manualReset, LPCSTR name) {
  return g_madeTimer = CreateWaitableTimerA(security, manualReset, name);
}

// A check at interval 1 whose first firing is queued to this thread: its
// timer is waited for without an alertable wait, so the routine waits in
// the queue.
int checkWithFiringQueued(Registry& test) {
  TestSeams::PlatformCalls& calls = TestSeams::platformCalls();
  const TestSeams::CreateTimerFunction own = calls.createTimer;
  g_madeTimer = nullptr;
  calls.createTimer = &recordTimer;
  const int contact = test.addCheckForTest("cmd /c exit 0", 1, 1);
  calls.createTimer = own;
  EXPECT_TRUE(g_madeTimer);
  EXPECT_EQ(WaitForSingleObject(g_madeTimer, 10000), WAIT_OBJECT_0);
  return contact;
}

// A firing queued to the main thread before HM_DETACH_CORE would run the
// plug-in's code after the host may have freed the library: detaching
// cancels it with the timers.
TEST_F(Registry, DetachCancelsAFiringAlreadyQueued) {
  const int contact = checkWithFiringQueued(*this);
  host.post(HM_DETACH_CORE);
  host.pumpFor(300);
  EXPECT_TRUE(firingTimes(contact).empty());
  EXPECT_EQ(reports(contact), 0u);
}

BOOL WINAPI refuseToCancel(HANDLE) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

// The same when the platform refuses to cancel the timer: the timer is set
// again far off, which drops the queued firing too.
TEST_F(Registry, DetachDropsAQueuedFiringWhenCancellingIsRefused) {
  const HMODULE self = GetModuleHandleA(nullptr);
  void* const original =
      VardokHost::replaceImport(self, "kernel32.dll", "CancelWaitableTimer", reinterpret_cast<void*>(&refuseToCancel));
  ASSERT_TRUE(original);
  const int contact = checkWithFiringQueued(*this);
  host.post(HM_DETACH_CORE);
  host.pumpFor(300);
  VardokHost::replaceImport(self, "kernel32.dll", "CancelWaitableTimer", original);
  EXPECT_TRUE(firingTimes(contact).empty());
}

}  // namespace
