// The worker loop on its real thread: queued files are processed once each, in the order of
// intake, while the consumer takes the posts; a stop waits until the queue is empty.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/format.h"
#include "jobs/process.h"
#include "jobs/requests.h"
#include "threads/wait_until.h"

namespace fs = std::filesystem;

namespace {

class WorkerTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zdx-worker-XXXXXX";
    dir_ = mkdtemp(tmpl);
    pbuff1 = b1_.data();
    pbuff2 = b2_.data();
    // The worker loop works on the process-wide request array, lock and mailbox; each test
    // starts them afresh and runs its own worker thread.
    g_requests.Clear();
    g_stat.bQuit = false;
    g_stat.nFlags = 0;
    ASSERT_TRUE(g_lock.Create());
    ASSERT_EQ(thread_.AddFunction(ProcessThrd, 0), 1);
    ASSERT_TRUE(thread_.Create(nullptr, 0));
  }
  void TearDown() override {
    g_stat.bQuit = true;
    thread_.Destroy();
    fs::remove_all(dir_);
  }

  // Appends a request for a new text file, as intake does: under the lock, then one signal.
  void Queue(const std::string& name) {
    const fs::path p = dir_ / name;
    std::ofstream(p) << std::string(3000, 'x') << name;
    Request r;
    std::strncpy(r.szPath, p.c_str(), sizeof r.szPath - 1);
    r.nSrcSize = static_cast<uint32_t>(fs::file_size(p));
    CXLock guard(&g_lock);
    ASSERT_EQ(g_requests.Insert(g_requests.nCount, 1, &r), 1);
    thread_.Signal(1);
  }

  int32_t StateOf(long i) { return g_requests.At<Request>(i)->State(); }

  // Takes posts, as the display does, until every request is finished; returns the indexes of
  // the row posts in the order they came.
  std::vector<int32_t> TakeRowsUntilDone() {
    std::vector<int32_t> rows;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      ProcStatus::Post post;
      while (g_stat.Take(post)) {
        if (post.nFlags & kStatRow) rows.push_back(post.nIndex);
      }
      bool done = true;
      g_lock.Lock();
      for (long i = 0; i < g_requests.nCount; ++i) done &= StateOf(i) > kStateProcess;
      g_lock.Unlock();
      if (done && g_stat.nFlags.load() == 0) return rows;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the worker did not finish";
        return rows;
      }
      SleepCurrentThread(1);
    }
  }

  fs::path dir_;
  CXThread thread_;
  std::vector<unsigned char> b1_ = std::vector<unsigned char>(zdx::kChunkSize);
  std::vector<unsigned char> b2_ = std::vector<unsigned char>(zdx::kChunkSize);
};

TEST_F(WorkerTest, ProcessesEachRequestOnceInOrderOfIntake) {
  Queue("a.txt");
  Queue("b.txt");
  Queue("c.txt");
  const std::vector<int32_t> rows = TakeRowsUntilDone();
  // Each job posts its row when it starts and when it ends.
  EXPECT_EQ(rows, (std::vector<int32_t>{0, 0, 1, 1, 2, 2}));
  for (long i = 0; i < 3; ++i) EXPECT_EQ(StateOf(i), kStateCompressed);
  for (const char* out : {"a.zdx", "b.zdx", "c.zdx"}) EXPECT_TRUE(fs::exists(dir_ / out)) << out;
}

TEST_F(WorkerTest, AFileAddedDuringAJobIsTakenNext) {
  Queue("first.txt");
  // Wait until the first job is in work, then queue the second while it runs.
  ProcStatus::Post post;
  ASSERT_TRUE(WaitUntil([&] { return g_stat.Take(post); }, 60));
  Queue("second.txt");
  TakeRowsUntilDone();
  EXPECT_EQ(StateOf(0), kStateCompressed);
  EXPECT_EQ(StateOf(1), kStateCompressed);
}

TEST_F(WorkerTest, StoppingWaitsUntilEveryWaitingRequestIsDone) {
  Queue("x.txt");
  Queue("y.txt");
  Queue("missing.txt");
  fs::remove(dir_ / "missing.txt");
  // Once the worker loop runs, a stop waits for it to drain the queue. (A run still owed to a
  // thread that has not started it is dropped by the stop; the app finishes such requests
  // itself after the join.)
  ASSERT_TRUE(WaitUntil([&] { return StateOf(0) != kStateWait; }, 60));
  // Shutdown: posts no longer wait for a display, and the join returns only when the queue
  // is empty.
  g_stat.bQuit = true;
  thread_.Destroy();
  EXPECT_EQ(StateOf(0), kStateCompressed);
  EXPECT_EQ(StateOf(1), kStateCompressed);
  EXPECT_EQ(StateOf(2), kStateError);
  EXPECT_EQ(static_cast<JobError>(g_requests.At<Request>(2)->Reason()), JobError::OpenInput);
}

}  // namespace
