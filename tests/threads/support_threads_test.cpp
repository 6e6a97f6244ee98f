// Locks, events and the worker thread class with more than one thread running.
//
// Tests that something blocks use an order check: the blocked side takes a ticket from a shared
// counter after it gets through, the releasing side takes one just before it releases, and the
// blocked side's ticket must be the later one. The short grace period before the release only
// gives a faulty implementation the chance to slip through early; a correct one passes however
// the threads are scheduled.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/xlock.h"
#include "support/xthread.h"
#include "threads/wait_until.h"

namespace {

constexpr long kGraceMs = 20;


bool IsHeld(CXLock& lock) {
  if (pthread_mutex_trylock(&lock.mutex) != 0) return true;
  pthread_mutex_unlock(&lock.mutex);
  return false;
}

TEST(XLockThreads, GuardBlocksWhileAnotherThreadHoldsTheLock) {
  CXLock lock;
  ASSERT_TRUE(lock.Create());
  std::atomic<int> ticket{0};
  std::atomic<bool> held{false};
  std::atomic<bool> guarding{false};
  std::atomic<int> releasedAt{-1};

  std::thread holder([&] {
    lock.Lock();
    held = true;
    WaitUntil([&] { return guarding.load(); });
    SleepCurrentThread(kGraceMs);
    releasedAt = ticket++;
    lock.Unlock();
  });

  ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
  guarding = true;
  int acquiredAt = -1;
  {
    CXLock guard(&lock);
    acquiredAt = ticket++;
    EXPECT_TRUE(guard.bHolding);
  }
  holder.join();
  EXPECT_GT(acquiredAt, releasedAt.load());
  EXPECT_FALSE(IsHeld(lock)) << "the guard's end frees the lock";
}

TEST(XLockThreads, DestroyWaitsForTheHolder) {
  CXLock lock;
  ASSERT_TRUE(lock.Create());
  std::atomic<int> ticket{0};
  std::atomic<bool> held{false};
  std::atomic<bool> destroying{false};
  std::atomic<int> releasedAt{-1};

  std::thread holder([&] {
    lock.Lock();
    held = true;
    WaitUntil([&] { return destroying.load(); });
    SleepCurrentThread(kGraceMs);
    releasedAt = ticket++;
    lock.Unlock();
  });

  ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
  destroying = true;
  lock.Destroy();
  const int destroyedAt = ticket++;
  holder.join();
  EXPECT_GT(destroyedAt, releasedAt.load());
  EXPECT_FALSE(lock.bCreated);
}

TEST(XEventThreads, ConsumedSignalMakesTheNextWaitBlock) {
  CXEvent event;
  ASSERT_TRUE(event.Create());
  event.Set();
  event.Set();
  event.Set();
  event.Wait();  // the remembered signals, consumed as one

  std::atomic<int> ticket{0};
  std::atomic<bool> started{false};
  std::atomic<int> wokeAt{-1};
  std::thread waiter([&] {
    started = true;
    event.Wait();
    wokeAt = ticket++;
  });
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
  SleepCurrentThread(kGraceMs);
  const int setAt = ticket++;
  event.Set();
  waiter.join();
  EXPECT_GT(wokeAt.load(), setAt);
  event.Destroy();
}

// What the registered functions see and do. `order` is written by the started thread only and
// read after the join.
struct Runs {
  std::atomic<int> n1{0};
  std::atomic<int> n2{0};
  std::vector<int> order;
  void* pSeenArg = nullptr;
  int nSeenPriority = -1;
};

unsigned char Run1(void* p) {
  auto* r = static_cast<Runs*>(p);
  r->order.push_back(1);
  ++r->n1;
  return 1;
}

unsigned char Run2(void* p) {
  auto* r = static_cast<Runs*>(p);
  r->order.push_back(2);
  ++r->n2;
  return 1;
}

unsigned char RunThenStop(void* p) {
  ++static_cast<Runs*>(p)->n1;
  return 0;
}

unsigned char Observe(void* p) {
  auto* r = static_cast<Runs*>(p);
  int policy = 0;
  sched_param param{};
  pthread_getschedparam(pthread_self(), &policy, &param);
  r->nSeenPriority = param.sched_priority;
  r->pSeenArg = p;
  ++r->n1;
  return 1;
}

int32_t Owed(CXThread& t, long index) {
  return t.funcs.At<CXThread::FuncElem>(index)->Pending().load();
}

TEST(XThreadThreads, ThreeSignalsWhileWaitingServeExactlyThreeRuns) {
  Runs r;
  CXThread t;
  ASSERT_EQ(t.AddFunction(Run1, 1), 1);
  ASSERT_TRUE(t.Create(&r, 0));
  ASSERT_TRUE(WaitUntil([&] { return r.n1.load() == 1; }));  // first pass done

  for (int i = 0; i < 3; ++i) EXPECT_EQ(t.Signal(1), 1);
  ASSERT_TRUE(WaitUntil([&] { return r.n1.load() == 4; }));
  t.Destroy();
  EXPECT_EQ(r.n1.load(), 4);
  EXPECT_EQ(Owed(t, 1), 0);
}

TEST(XThreadThreads, RunsOwedBeforeCreateAreServedInTableOrder) {
  Runs r;
  CXThread t;
  ASSERT_EQ(t.AddFunction(Run1, 0), 1);
  ASSERT_EQ(t.AddFunction(Run2, 0), 2);
  EXPECT_EQ(t.Signal(2), 1);
  EXPECT_EQ(t.Signal(1), 1);
  EXPECT_EQ(t.Signal(1), 1);
  ASSERT_TRUE(t.Create(&r, 0));
  ASSERT_TRUE(WaitUntil([&] { return r.n1.load() + r.n2.load() == 3; }));
  t.Destroy();
  EXPECT_EQ(r.order, (std::vector<int>{1, 1, 2}));
}

TEST(XThreadThreads, ThreadGetsTheArgumentAndItsClampedPriority) {
  struct Case {
    long priority;
    int32_t applied;
  };
  const Case cases[] = {{40, 15}, {-40, -15}, {0, 0}, {7, 7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "Create(arg, " << c.priority << ")");
    Runs r;
    CXThread t;
    ASSERT_EQ(t.AddFunction(Observe, 1), 1);
    ASSERT_TRUE(t.Create(&r, c.priority));
    EXPECT_EQ(t.nPriority, c.applied);
    ASSERT_TRUE(WaitUntil([&] { return r.n1.load() == 1; }));
    t.Destroy();
    EXPECT_EQ(r.pSeenArg, &r);
    EXPECT_EQ(r.nSeenPriority, MapPriority(c.applied, CXThread::sPrMin, CXThread::sPrMax));
  }
}

TEST(XThreadThreads, ZeroResultOrSignalZeroEndsTheLoop) {
  struct Case {
    const char* name;
    CXThread::ThreadFn fn;
    bool bSignalZero;
  };
  const Case cases[] = {{"function returns 0", RunThenStop, false},
                        {"Signal(0)", Run1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Runs r;
    CXThread t;
    ASSERT_EQ(t.AddFunction(c.fn, 1), 1);
    ASSERT_TRUE(t.Create(&r, 0));
    ASSERT_TRUE(WaitUntil([&] { return r.n1.load() == 1; }));
    if (c.bSignalZero) {
      EXPECT_EQ(t.Signal(0), 1);
    }
    ASSERT_TRUE(WaitUntil([&] { return t.bStop.load(); })) << "the thread stops itself";

    EXPECT_EQ(t.Signal(1), 1);  // counted, never served
    t.Destroy();
    EXPECT_EQ(r.n1.load(), 1);
    EXPECT_EQ(Owed(t, 1), 1);
  }
}

TEST(XThreadThreads, DestroyJoinsAWaitingThreadAndIsFinal) {
  Runs r;
  CXThread t;
  ASSERT_EQ(t.AddFunction(Run1, 1), 1);
  ASSERT_TRUE(t.Create(&r, 0));
  EXPECT_TRUE(t.bRunning);
  EXPECT_FALSE(t.Create(&r, 0)) << "already running";
  EXPECT_EQ(t.AddFunction(Run2, 0), 0) << "no registration while running";
  EXPECT_EQ(t.funcs.nCount, 2);
  ASSERT_TRUE(WaitUntil([&] { return r.n1.load() == 1; }));

  t.Destroy();
  EXPECT_FALSE(t.bRunning);
  EXPECT_TRUE(t.bStop.load());
  t.Destroy();  // nothing more to do
  EXPECT_FALSE(t.Create(&r, 0)) << "a stopped thread is not started again";
  EXPECT_FALSE(t.bRunning);
  EXPECT_EQ(r.n1.load(), 1);
}

struct Gate {
  std::atomic<bool> bEntered{false};
  std::atomic<bool> bOpen{false};
  std::atomic<int> nRuns{0};
};

unsigned char BlockUntilOpen(void* p) {
  auto* g = static_cast<Gate*>(p);
  ++g->nRuns;
  g->bEntered = true;
  while (!g->bOpen.load()) SleepCurrentThread(1);
  return 1;
}

TEST(XThreadThreads, DestroyWaitsForTheRunningFunctionAndDropsOwedRuns) {
  Gate g;
  CXThread t;
  ASSERT_EQ(t.AddFunction(BlockUntilOpen, 1), 1);
  ASSERT_TRUE(t.Create(&g, 0));
  ASSERT_TRUE(WaitUntil([&] { return g.bEntered.load(); }));
  EXPECT_EQ(t.Signal(1), 1);
  EXPECT_EQ(t.Signal(1), 1);

  std::atomic<int> ticket{0};
  std::atomic<int> releasedAt{-1};
  std::thread opener([&] {
    WaitUntil([&] { return t.bStop.load(); });  // Destroy has begun
    SleepCurrentThread(kGraceMs);
    releasedAt = ticket++;
    g.bOpen = true;
  });
  t.Destroy();
  const int destroyedAt = ticket++;
  opener.join();
  EXPECT_GT(destroyedAt, releasedAt.load());
  EXPECT_EQ(g.nRuns.load(), 1) << "runs owed when the stop is seen are not served";
}

}  // namespace
