#include "support/xlock.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <chrono>

#include "support/xthread.h"

namespace {

// Whether some thread (this one included) holds the lock's mutex. The default mutex type
// answers a try by its own holder with EBUSY too.
bool IsHeld(CXLock& lock) {
  if (pthread_mutex_trylock(&lock.mutex) != 0) return true;
  pthread_mutex_unlock(&lock.mutex);
  return false;
}

TEST(XLock, NotCreatedLockDoesNothing) {
  CXLock lock;
  EXPECT_FALSE(lock.bCreated);
  lock.Lock();
  lock.Lock();  // a second Lock would deadlock if the first had taken anything
  lock.Unlock();
  lock.Destroy();
  EXPECT_FALSE(lock.bCreated);
}

TEST(XLock, CreateLockUnlockAndRecreate) {
  CXLock lock;
  ASSERT_TRUE(lock.Create());
  lock.Lock();
  EXPECT_TRUE(IsHeld(lock));
  lock.Unlock();
  EXPECT_FALSE(IsHeld(lock));
  ASSERT_TRUE(lock.Create());  // retires the old mutex and makes a new one
  EXPECT_TRUE(lock.bCreated);
  lock.Lock();
  EXPECT_TRUE(IsHeld(lock));
  lock.Unlock();
  lock.Destroy();
  EXPECT_FALSE(lock.bCreated);
  lock.Destroy();
}

TEST(XLock, GuardOnNullOrNotCreatedLockHoldsNothing) {
  CXLock notCreated;
  CXLock* targets[] = {nullptr, &notCreated};
  for (CXLock* target : targets) {
    CXLock guard(target);
    EXPECT_EQ(guard.pGuarded, target);
    EXPECT_FALSE(guard.bHolding);
    EXPECT_FALSE(guard.Create());
    EXPECT_FALSE(guard.bCreated);
    guard.Lock();  // no effect on a guard
    guard.Unlock();
  }
}

TEST(XLock, GuardHoldsCreatedLockUntilDestroyed) {
  CXLock lock;
  ASSERT_TRUE(lock.Create());
  {
    CXLock guard(&lock);
    EXPECT_TRUE(guard.bHolding);
    EXPECT_TRUE(IsHeld(lock));
    EXPECT_FALSE(guard.Create());
    guard.Unlock();  // no effect on a guard
    EXPECT_TRUE(IsHeld(lock));
  }
  EXPECT_FALSE(IsHeld(lock));
}

TEST(XLock, GuardReleasesOnlyWhatItTookAndOnlyOnce) {
  CXLock lock;
  ASSERT_TRUE(lock.Create());
  {
    CXLock guard(&lock);
    guard.Destroy();
    EXPECT_FALSE(IsHeld(lock));
    lock.Lock();  // now held by the owner, not by the guard
  }  // the guard's destructor must not release the owner's hold
  EXPECT_TRUE(IsHeld(lock));
  lock.Unlock();

  CXLock late;
  {
    CXLock guard(&late);  // not created yet: takes nothing
    ASSERT_TRUE(late.Create());
    late.Lock();
  }  // the guard never took the lock, so it must not release it
  EXPECT_TRUE(IsHeld(late));
  late.Unlock();
}

TEST(XLock, PriorityMapsOntoThePlatformRange) {
  struct Case {
    long priority, prMin, prMax, expected;
  };
  const Case cases[] = {
      {-15, 15, 47, 15}, {-1, 15, 47, 29}, {0, 15, 47, 31}, {1, 15, 47, 32}, {15, 15, 47, 47},
      {-20, 15, 47, 15}, {99, 15, 47, 47},
      // A policy with a single level maps everything onto it.
      {-15, 0, 0, 0},    {0, 0, 0, 0},     {15, 0, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MapPriority(c.priority, c.prMin, c.prMax), c.expected)
        << "priority " << c.priority << " in " << c.prMin << ".." << c.prMax;
  }
}

TEST(XLock, SetCurrentPriorityAppliesTheMappedValue) {
  EXPECT_EQ(CXThread::sPrMin, sched_get_priority_min(0));
  EXPECT_EQ(CXThread::sPrMax, sched_get_priority_max(0));

  int policy = 0;
  sched_param before{};
  ASSERT_EQ(pthread_getschedparam(pthread_self(), &policy, &before), 0);
  if (policy != 0) GTEST_SKIP() << "the test thread does not run under policy 0";

  for (long priority : {-40L, -15L, 0L, 15L, 99L}) {
    EXPECT_TRUE(SetCurrentPriority(priority)) << priority;
    int now = 0;
    sched_param param{};
    ASSERT_EQ(pthread_getschedparam(pthread_self(), &now, &param), 0);
    EXPECT_EQ(now, policy);
    EXPECT_EQ(param.sched_priority, MapPriority(priority, CXThread::sPrMin, CXThread::sPrMax))
        << priority;
  }
  pthread_setschedparam(pthread_self(), policy, &before);
}

TEST(XLock, SleepLastsAtLeastTheRequestedTimeAndNeverZero) {
  struct Case {
    long ms, atLeastMs;
  };
  const Case cases[] = {{0, 1}, {-5, 1}, {1, 1}, {100, 100}};
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    SleepCurrentThread(c.ms);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c.atLeastMs))
        << "SleepCurrentThread(" << c.ms << ")";
  }
}

}  // namespace
