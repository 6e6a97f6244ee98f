// The request record, the state strings and the process-wide objects as they stand before main,
// and the unlocked reads of a request that the worker changes under the lock.
#include "jobs/requests.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <thread>

namespace {

TEST(Requests, StatusStringsFollowTheStates) {
  struct Case {
    int32_t state;
    const char* text;
  };
  const Case cases[] = {{kStateWait, "Wait"},         {kStateProcess, "Process"},
                        {kStateExpanded, "Expanded"}, {kStateCompressed, "Compressed"},
                        {kStateExists, "Exists"},     {kStateError, "Error"}};
  static_assert(std::size(cases) == kStateCount);
  for (const Case& c : cases) EXPECT_STREQ(cfStatusString[c.state], c.text);
}

Request Filled(char fill, int32_t base) {
  Request r;
  std::memset(r.szPath, fill, sizeof r.szPath);
  std::strcpy(r.szPath, "/tmp/a.wav");  // bytes after the terminator keep `fill`
  r.SetState(base);
  r.nSrcSize = 1000u + static_cast<uint32_t>(base);
  r.SetDstSize(2000u + static_cast<uint32_t>(base));
  r.SetReason(base + 7);
  return r;
}

void ExpectSame(const Request& a, const Request& b) {
  EXPECT_EQ(std::memcmp(a.szPath, b.szPath, sizeof a.szPath), 0) << "all 260 path bytes";
  EXPECT_EQ(a.State(), b.State());
  EXPECT_EQ(a.nSrcSize, b.nSrcSize);
  EXPECT_EQ(a.DstSize(), b.DstSize());
  EXPECT_EQ(a.Reason(), b.Reason());
}

TEST(Requests, CopyTakesTheWholePathAndEveryField) {
  static_assert(sizeof(Request::szPath) == 260);
  const Request src = Filled('x', 3);

  Request assigned = Filled('y', 5);
  assigned = src;
  ExpectSame(assigned, src);

  const Request constructed(src);
  ExpectSame(constructed, src);

  Request self = Filled('z', 1);
  const Request before(self);
  self = *&self;
  ExpectSame(self, before);
}

TEST(Requests, RequestTravelsThroughTheArrayAsBytes) {
  CStructArray a(sizeof(Request), 16);
  const Request first = Filled('p', kStateWait);
  const Request second = Filled('q', kStateError);
  Request copies[] = {first, second};
  ASSERT_EQ(a.Insert(0, 2, copies), 1);
  ASSERT_EQ(a.Delete(0, 1), 1);  // moves the second record down
  Request out;
  out = *a.At<Request>(0);
  ExpectSame(out, second);
}

TEST(Requests, ProcessWideObjectsStartEmpty) {
  EXPECT_EQ(g_requests.nElemSize, static_cast<int32_t>(sizeof(Request)));
  EXPECT_EQ(g_requests.nQuantum, 16);
  EXPECT_EQ(g_requests.nCount, 0);
  EXPECT_EQ(g_requests.pData, nullptr);

  EXPECT_FALSE(g_lock.bCreated);
  EXPECT_FALSE(g_lock.bGuard);

  EXPECT_FALSE(g_thrd.bRunning);
  EXPECT_FALSE(g_thrd.bStop.load());
  EXPECT_EQ(g_thrd.funcs.nCount, 0);
  EXPECT_EQ(g_thrd.funcs.nQuantum, 4);
  EXPECT_EQ(g_thrd.funcs.nElemSize, static_cast<int32_t>(sizeof(CXThread::FuncElem)));

  EXPECT_EQ(g_stat.nFlags.load(), 0u);
  EXPECT_FALSE(g_stat.bQuit.load());
  EXPECT_EQ(g_stat.pfnSleep, &SleepCurrentThread);
}

// The list view reads a queued request without g_lock while the worker finishes it under the
// lock: every read sees one whole value that was written, never a mix.
TEST(Requests, UnlockedReadsSeeWholeValuesWhileTheWorkerWrites) {
  CStructArray requests(sizeof(Request), 16);
  CXLock lock;
  ASSERT_TRUE(lock.Create());
  Request queued = Filled('r', kStateWait);
  queued.SetDstSize(0);
  queued.SetReason(kReasonNone);
  ASSERT_EQ(requests.Insert(0, 1, &queued), 1);

  constexpr int kRounds = 2000;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 1; i <= kRounds; ++i) {
      lock.Lock();
      Request* r = requests.At<Request>(0);
      r->SetState(i % 2 ? kStateProcess : kStateError);
      r->SetDstSize(i % 2 ? 0u : 0xA5A5A5A5u);
      r->SetReason(i % 2 ? kReasonNone : 0x5A5A5A5A);
      lock.Unlock();
    }
    done = true;
  });

  int reads = 0;
  while (!done.load() || reads == 0) {
    const Request* r = requests.At<Request>(0);
    const int32_t state = r->State();
    const uint32_t size = r->DstSize();
    const int32_t reason = r->Reason();
    ASSERT_TRUE(state == kStateWait || state == kStateProcess || state == kStateError) << state;
    ASSERT_TRUE(size == 0u || size == 0xA5A5A5A5u) << size;
    ASSERT_TRUE(reason == kReasonNone || reason == 0x5A5A5A5A) << reason;
    ++reads;
  }
  worker.join();
  EXPECT_EQ(requests.At<Request>(0)->State(), kStateError);
  EXPECT_EQ(requests.At<Request>(0)->DstSize(), 0xA5A5A5A5u);
}

}  // namespace
