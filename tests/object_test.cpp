// The use-counted object base, its live-object registry and its lock.
#include <algorithm>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/objectimpl/object.h"

using namespace Quorlin;

namespace {

int g_destroyed = 0;

class Probe : public SharedObject {
 protected:
  ~Probe() override { ++g_destroyed; }
};

class ObjectBase : public ::testing::Test {
 protected:
  void SetUp() override { g_destroyed = 0; }
};

TEST_F(ObjectBase, ReleaseOfANewObjectDestroysIt) {
  Probe* probe = new Probe;
  EXPECT_EQ(probe->getUseCount(), 1u);
  probe->release();
  EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ObjectBase, LastOfTwoHoldersDestroys) {
  SharedPtr<Probe> first(new Probe, true);
  EXPECT_EQ(first->getUseCount(), 2u);
  SharedPtr<Probe> second = first;
  EXPECT_EQ(first->getUseCount(), 3u);
  first.reset();
  EXPECT_EQ(g_destroyed, 0);
  EXPECT_EQ(second->getUseCount(), 2u);
  second.reset();
  EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ObjectBase, AssignmentHoldsTheNewTargetBeforeReleasingTheOld) {
  SharedPtr<Probe> a(new Probe, true);
  SharedPtr<Probe> b(new Probe, true);
  a = b;
  EXPECT_EQ(g_destroyed, 1);
  EXPECT_EQ(b->getUseCount(), 3u);
  a = a;
  EXPECT_EQ(b->getUseCount(), 3u);
}

TEST_F(ObjectBase, DeadObjectsCannotBeHeld) {
  Probe* probe = new Probe;
  probe->hold();    // 2
  probe->hold();    // 3
  probe->release(); // 2
  EXPECT_EQ(probe->getUseCount(), 2u);
  EXPECT_TRUE(probe->isAlive());
  // A probe that is kept from destroying itself, to look at it dead.
  struct Kept : SharedObject {
    void destroy() override {}
  } kept;
  kept.release();
  EXPECT_TRUE(kept.isDead());
  EXPECT_FALSE(kept.hold());
  EXPECT_EQ(kept.getUseCount(), 0u);
  kept.release();
  EXPECT_EQ(kept.getUseCount(), 0u);
  probe->release();
  EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ObjectBase, ClassChainEndsAtIObject) {
  SharedPtr<Probe> probe(new Probe, true);
  const ClassInfo* info = probe->getClass();
  std::vector<std::string> names;
  for (; info; info = info->base) {
    names.push_back(info->name);
    EXPECT_EQ(info->size, 4);
    EXPECT_EQ(info->version[1], 1);
    EXPECT_EQ(info->library, &objectRegistry());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Quorlin::iSharedObject", "Quorlin::iLockableObject", "iObject"}));
  EXPECT_EQ(probe->getClass(), SharedPtr<Probe>(new Probe, true)->getClass());
}

TEST_F(ObjectBase, LiveObjectsAreRegistered) {
  Probe* probe = new Probe;
  auto live = liveObjects();
  EXPECT_NE(std::find(live.begin(), live.end(), probe), live.end());
  probe->release();
  live = liveObjects();
  EXPECT_EQ(std::find(live.begin(), live.end(), static_cast<iObject*>(probe)), live.end());
}

// The teardown ends the process-wide registry for good, so it runs in a
// process of its own: the suite stays repeatable and order-free.
TEST(ObjectBaseDeathTest, TeardownEndsTheRegistryAndLaterObjectsStillWork) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_EXIT(
      {
        g_destroyed = 0;
        Probe* before = new Probe;
        tearDownObjectRegistry();
        tearDownObjectRegistry();
        // Made or destroyed after the teardown: no registration, no failure.
        Probe* after = new Probe;
        const bool empty = liveObjects().empty();
        before->release();
        after->release();
        std::exit(empty && g_destroyed == 2 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ObjectBase, UseCountHoldsUnderFourThreads) {
  SharedPtr<Probe> probe(new Probe, true);
  const unsigned start = probe->getUseCount();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 100000; ++i) {
        probe->hold();
        probe->release();
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(probe->getUseCount(), start);
}

TEST(CriticalSectionLock, ExcludesOtherThreadsAndReentersOnItsOwn) {
  CriticalSection lock;
  const auto tryFromAnotherThread = [&lock] {
    bool entered = false;
    std::thread other([&] {
      entered = lock.tryLock();
      if (entered) lock.unlock();
    });
    other.join();
    return entered;
  };
  {
    Locker held(&lock);
    // The holder may enter again; another thread may not.
    EXPECT_TRUE(lock.tryLock());
    lock.unlock();
    EXPECT_FALSE(tryFromAnotherThread());
  }
  EXPECT_TRUE(tryFromAnotherThread());
}

}  // namespace
