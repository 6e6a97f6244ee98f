// CXEvent and CXThread without a started thread. Everything that starts one is in tests/threads.
#include "support/xthread.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

unsigned char ReturnOne(void*) { return 1; }
unsigned char ReturnOneToo(void*) { return 1; }

int32_t Pending(CXThread& t, long index) { return t.funcs.At<CXThread::FuncElem>(index)->nPending; }

TEST(XEvent, NotCreatedEventNeitherBlocksNorRemembers) {
  CXEvent event;
  event.Set();
  EXPECT_FALSE(event.bSignaled);
  event.Wait();  // returns at once
  event.Destroy();
}

TEST(XEvent, RemembersOneSignalGivenBeforeTheWait) {
  CXEvent event;
  ASSERT_TRUE(event.Create());
  EXPECT_FALSE(event.bSignaled);
  event.Set();
  event.Set();
  event.Set();
  EXPECT_TRUE(event.bSignaled);
  event.Wait();  // does not block: the signal was remembered
  EXPECT_FALSE(event.bSignaled) << "signals do not queue: one Wait consumes them all";

  event.Set();
  ASSERT_TRUE(event.Create());  // re-creating drops a pending signal
  EXPECT_FALSE(event.bSignaled);
  event.Destroy();
  EXPECT_FALSE(event.bCreated);
  event.Destroy();
}

TEST(XThread, AddFunctionPutsTheExitFunctionFirst) {
  struct Case {
    unsigned char runAtStart;
    int32_t owed;
  };
  const Case cases[] = {{0, 0}, {1, 1}, {7, 1}};
  for (const Case& c : cases) {
    CXThread t;
    EXPECT_EQ(t.AddFunction(ReturnOne, c.runAtStart), 1);
    ASSERT_EQ(t.funcs.nCount, 2);
    EXPECT_EQ(t.funcs.At<CXThread::FuncElem>(0)->pFunc, &CXThread::ExitThreadFunc);
    EXPECT_EQ(Pending(t, 0), 0);
    EXPECT_EQ(t.funcs.At<CXThread::FuncElem>(1)->pFunc, &ReturnOne);
    EXPECT_EQ(Pending(t, 1), c.owed) << "runAtStart " << int{c.runAtStart};

    EXPECT_EQ(t.AddFunction(ReturnOneToo, 0), 2);
    EXPECT_EQ(t.funcs.nCount, 3);
    EXPECT_EQ(t.AddFunction(nullptr, 1), 0);
    EXPECT_EQ(t.funcs.nCount, 3);
  }
  EXPECT_EQ(CXThread::ExitThreadFunc(nullptr), 0);
}

TEST(XThread, AddFunctionFailsWhenTheTableCannotGrow) {
  struct Case {
    int registered;   // functions registered before the failing call
    int32_t count;    // table records left after it
  };
  // Quantum 4: the first call allocates; the fourth function (fifth record) must grow.
  const Case cases[] = {{0, 0}, {3, 4}};
  for (const Case& c : cases) {
    CXThread t;
    for (int i = 0; i < c.registered; ++i) ASSERT_EQ(t.AddFunction(ReturnOne, 0), i + 1);
    CStructArray::sMalloc = [](std::size_t) -> void* { return nullptr; };
    CStructArray::sRealloc = [](void*, std::size_t) -> void* { return nullptr; };
    const long index = t.AddFunction(ReturnOne, 1);
    CStructArray::sMalloc = std::malloc;
    CStructArray::sRealloc = std::realloc;
    EXPECT_EQ(index, 0) << c.registered << " registered";
    EXPECT_EQ(t.funcs.nCount, c.count);
  }
}

TEST(XThread, CreateIsRefusedWithoutFunctionsOrAfterDestroy) {
  CXThread empty;
  EXPECT_FALSE(empty.Create(nullptr, 0));
  EXPECT_FALSE(empty.bRunning);

  CXThread stopped;
  ASSERT_EQ(stopped.AddFunction(ReturnOne, 1), 1);
  stopped.Destroy();  // never started: only records the stop
  EXPECT_TRUE(stopped.bStop.load());
  EXPECT_FALSE(stopped.bRunning);
  EXPECT_FALSE(stopped.Create(nullptr, 0));
  EXPECT_FALSE(stopped.bRunning);
  stopped.Destroy();
}

TEST(XThread, SignalCountsRunsWithinTheTableOnly) {
  CXThread t;
  EXPECT_EQ(t.Signal(0), 0) << "empty table";
  ASSERT_EQ(t.AddFunction(ReturnOne, 0), 1);
  for (long bad : {-1L, 2L, 100L}) {
    EXPECT_EQ(t.Signal(bad), 0) << bad;
  }
  EXPECT_EQ(Pending(t, 0), 0);
  EXPECT_EQ(Pending(t, 1), 0);

  // Before Create the runs accumulate.
  EXPECT_EQ(t.Signal(1), 1);
  EXPECT_EQ(t.Signal(1), 1);
  EXPECT_EQ(Pending(t, 1), 2);
  EXPECT_EQ(Pending(t, 0), 0);
}

}  // namespace
