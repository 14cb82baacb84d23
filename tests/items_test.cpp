// Check items: timers, due times, firing and re-arming.
#include <gtest/gtest.h>

#include "checks/item.h"
#include "checks/registry.h"
#include "tests/firing_fixture.h"

using namespace Vardok;

namespace {

class Items : public VardokTest::FiringTest {};

TEST(DueTime, IntervalsAreComputedIn64Bits) {
  struct Case {
    int32_t interval;
    int64_t due;
  };
  const Case cases[] = {
      {0, 0},
      {1, -10000000LL},
      {120, -1200000000LL},
      {4294967, -4294967000LL * 10000},
      // The first interval whose milliseconds no longer fit 32 bits: about
      // 49.7 days, not 0.7 s.
      {4294968, -4294968000LL * 10000},
      {2147483647, -2147483647000LL * 10000},
      // Every negative interval means what -1 means: about 49.7 days (the
      // 32-bit product made some of them 0 ms, 1 s or 296 ms).
      {-1, 4294966296LL * -10000},
      {-2147483647 - 1, 4294966296LL * -10000},
      {-2147483647, 4294966296LL * -10000},
      {-4294967, 4294966296LL * -10000},
      {-4294968, 4294966296LL * -10000},
  };
  for (const Case& c : cases) EXPECT_EQ(dueTime(c.interval), c.due) << c.interval;
}

TEST_F(Items, EnabledItemFiresAfterOneIntervalAndNotBefore) {
  const DWORD start = GetTickCount();
  const int contact = addCheck("cmd /c exit 0", 1, 1);
  ASSERT_TRUE(host.pumpUntil([&] { return !firingTimes(contact).empty(); }, 5000));
  const DWORD elapsed = firingTimes(contact)[0] - start;
  EXPECT_GE(elapsed, 950u);
  EXPECT_LE(elapsed, 2500u);
}

TEST_F(Items, NextFiringComesOneIntervalAfterTheReport) {
  const int contact = addCheck("cmd /c exit 0", 1, 1);
  ASSERT_TRUE(host.pumpUntil([&] { return firingTimes(contact).size() >= 2; }, 8000));
  const DWORD reported = reportTime(contact, 1);
  ASSERT_NE(reported, 0u);
  EXPECT_GE(firingTimes(contact)[1] - reported, 950u);
  EXPECT_LE(firingTimes(contact)[1] - reported, 2000u);
}

TEST_F(Items, IntervalZeroRunsAgainAsSoonAsARunEnds) {
  const int contact = addCheck("cmd /c exit 0", 0, 1);
  EXPECT_TRUE(waitForReports(contact, 3, 15000));
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
