// Check items: timers, due times, firing and re-arming.
#include <gtest/gtest.h>

#include "checks/item.h"
#include "checks/registry.h"
#include "tests/firing_fixture.h"

using namespace Vardok;

namespace {

class Items : public VardokTest::FiringTest {};

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
