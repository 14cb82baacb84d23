// Check items and the registry: arming, firing, re-arming, removal.
#include <atomic>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "checks/item.h"
#include "checks/registry.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokTest::CheckTest;

namespace {

struct Firing {
  uint32_t contact;
  DWORD time;
};
std::vector<Firing> g_firings;

void recordFiring(uint32_t contact) { g_firings.push_back({contact, GetTickCount()}); }

class Items : public CheckTest {
 protected:
  Items() : CheckTest(false) {}
  void SetUp() override {
    CheckTest::SetUp();
    g_firings.clear();
    setFiringObserver(&recordFiring);
  }
  void TearDown() override {
    CheckTest::TearDown();
    setFiringObserver(nullptr);
  }
  std::vector<DWORD> firingTimes(int contact) const {
    std::vector<DWORD> times;
    for (const Firing& f : g_firings)
      if (f.contact == static_cast<uint32_t>(contact)) times.push_back(f.time);
    return times;
  }
  DWORD reportTime(int contact, size_t n) const {
    size_t seen = 0;
    for (const auto& e : host.messages(HM_CONTACT_REFRESH))
      if (e.i32(22) == contact && ++seen == n) return e.time;
    return 0;
  }
};

TEST(DueTime, IntervalArithmetic) {
  EXPECT_EQ(dueTime(120), -1200000000LL);
  EXPECT_EQ(dueTime(1), -10000000LL);
  EXPECT_EQ(dueTime(0), 0);
  // -1000 taken as unsigned: about 49.7 days ahead.
  EXPECT_EQ(dueTime(-1), 4294966296LL * -10000);
  // 5 000 000 s overflows 32 bits and wraps.
  EXPECT_EQ(dueTime(5000000), static_cast<int64_t>(static_cast<uint32_t>(5000000u * 1000u)) * -10000);
}

TEST_F(Items, EnabledItemFiresAfterOneIntervalAndNotBefore) {
  const DWORD start = GetTickCount();
  const int contact = addCheck("cmd /c exit 0", 1, 1);
  ASSERT_TRUE(host.pumpUntil([&] { return !firingTimes(contact).empty(); }, 5000));
  const DWORD elapsed = firingTimes(contact)[0] - start;
  EXPECT_GE(elapsed, 950u);
  EXPECT_LE(elapsed, 2500u);
}

TEST_F(Items, DisabledItemNeverFires) {
  const int contact = addCheck("cmd /c exit 0", 1, 0);
  EXPECT_EQ(items().count(contact), 1u);
  host.pumpFor(1600);
  EXPECT_TRUE(firingTimes(contact).empty());
  EXPECT_EQ(reports(contact), 0u);
}

TEST_F(Items, NextFiringComesOneIntervalAfterTheReport) {
  const int contact = addCheck("cmd /c exit 0", 1, 1);
  ASSERT_TRUE(host.pumpUntil([&] { return firingTimes(contact).size() >= 2; }, 8000));
  const DWORD reported = reportTime(contact, 1);
  ASSERT_NE(reported, 0u);
  EXPECT_GE(firingTimes(contact)[1] - reported, 950u);
  EXPECT_LE(firingTimes(contact)[1] - reported, 2000u);
}

TEST_F(Items, EnsureItemTwiceKeepsOneItemAndRestartsTheInterval) {
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

TEST_F(Items, RemovedItemStopsFiring) {
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

TEST_F(Items, IntervalZeroRunsAgainAsSoonAsARunEnds) {
  const int contact = addCheck("cmd /c exit 0", 0, 1);
  EXPECT_TRUE(waitForReports(contact, 3, 15000));
}

TEST_F(Items, RemovingWhileTheRearmingCallIsQueuedCrashesNothing) {
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

TEST_F(Items, TimerIsSetOnlyWhenEnabled) {
  const int disabled = addCheck("cmd /c exit 0", 1, 0);
  const int enabled = addCheck("cmd /c exit 0", 100, 1);
  EXPECT_FALSE(items().at(disabled)->armed());
  EXPECT_TRUE(items().at(enabled)->armed());
  // Disabling takes effect at the next change event.
  host.setInt(enabled, enabledColumn, 0);
  host.postChanged(enabled, 0, kNetwork);
  EXPECT_FALSE(items().at(enabled)->armed());
}

}  // namespace
