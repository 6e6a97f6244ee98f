// The status mailbox: posting, taking, the wait for a free slot and the quit flag.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "jobs/requests.h"
#include "threads/wait_until.h"

namespace {


// A sleep that counts its calls and remembers the duration asked for, but sleeps only 1 ms.
std::atomic<int> g_sleeps{0};
std::atomic<long> g_askedMs{0};
ProcStatus* g_quitOnSleep = nullptr;  // when set, the first sleep raises its quit flag
// A wait that should have ended long ago is broken by freeing this mailbox's slot, so that a
// faulty wait fails the test instead of hanging it.
std::atomic<ProcStatus*> g_runaway{nullptr};
constexpr int kRunawaySleeps = 5000;

void CountingSleep(long ms) {
  g_askedMs = ms;
  if (++g_sleeps > kRunawaySleeps && g_runaway.load() != nullptr) g_runaway.load()->nFlags = 0;
  if (g_quitOnSleep != nullptr) g_quitOnSleep->bQuit = true;
  SleepCurrentThread(1);
}

// A free mailbox whose fields hold 7, 8 and 9 from an earlier post and that waits with
// CountingSleep, which may break a runaway wait of this box while it lives.
struct PrimedBox : ProcStatus {
  PrimedBox() {
    g_sleeps = 0;
    g_askedMs = 0;
    g_quitOnSleep = nullptr;
    g_runaway = this;
    pfnSleep = CountingSleep;
    nIndex = 7;
    nValue = 8;
    nMax = 9;
  }
  ~PrimedBox() {
    g_quitOnSleep = nullptr;
  }
};

class MailboxTest : public ::testing::Test {
 protected:
  PrimedBox box;
};

TEST(Mailbox, PostStoresTheIndexAndOnlyTheFlaggedValues) {
  struct Case {
    uint32_t flags;
    long value, maximum;
    int32_t nValue, nMax;
  };
  const Case cases[] = {
      {kStatRow, -1, -1, 8, 9},
      {kStatMax, 0, 60, 8, 60},
      {kStatValue, 50, -1, 50, 9},
      {kStatRow | kStatValue | kStatMax, 50, 60, 50, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "flags " << c.flags);
    PrimedBox box;
    box.Change(3, static_cast<int>(c.flags), c.value, c.maximum);
    EXPECT_EQ(box.nFlags.load(), c.flags);
    EXPECT_EQ(box.nIndex, 3);
    EXPECT_EQ(box.nValue, c.nValue);
    EXPECT_EQ(box.nMax, c.nMax);

    ProcStatus::Post post;
    ASSERT_TRUE(box.Take(post));
    EXPECT_EQ(post.nFlags, c.flags);
    EXPECT_EQ(post.nIndex, 3);
    EXPECT_EQ(post.nValue, c.nValue);
    EXPECT_EQ(post.nMax, c.nMax);
    EXPECT_EQ(box.nFlags.load(), 0u) << "taking frees the slot";
    EXPECT_FALSE(box.Take(post)) << "nothing left to take";
    EXPECT_EQ(g_sleeps.load(), 0) << "a free slot is posted at once";
  }
}

TEST(Mailbox, PostAfterQuitDropsThePendingPostAndReturnsAtOnce) {
  for (bool pending : {true, false}) {
    SCOPED_TRACE(pending ? "post pending" : "slot free");
    PrimedBox box;
    if (pending) box.Change(1, kStatRow, -1, -1);
    box.bQuit = true;
    box.Change(2, kStatValue | kStatMax, 55, 66);
    EXPECT_EQ(box.nFlags.load(), 0u);
    EXPECT_EQ(box.nIndex, pending ? 1 : 7);
    EXPECT_EQ(box.nValue, 8);
    EXPECT_EQ(box.nMax, 9);
    EXPECT_EQ(g_sleeps.load(), 0);
  }
}

TEST_F(MailboxTest, AfterQuitTheConsumerTakesNothing) {
  box.Change(1, kStatRow | kStatValue, 5, -1);
  box.bQuit = true;
  ProcStatus::Post post;
  EXPECT_FALSE(box.Take(post));
  EXPECT_EQ(box.nFlags.load(), kStatRow | kStatValue) << "the post stays where it was";
  EXPECT_EQ(post.nFlags, 0u);
}

TEST_F(MailboxTest, QuitDuringTheWaitEndsItAfterThatSleepWithoutPosting) {
  box.Change(1, kStatRow, -1, -1);
  g_quitOnSleep = &box;
  box.Change(2, kStatValue, 5, -1);
  EXPECT_EQ(g_sleeps.load(), 1);
  EXPECT_EQ(g_askedMs.load(), kStatWaitMs);
  EXPECT_EQ(kStatWaitMs, 100);
  EXPECT_EQ(box.nFlags.load(), kStatRow) << "the pending post is left as it was";
  EXPECT_EQ(box.nIndex, 1);
  EXPECT_EQ(box.nValue, 8);
}

TEST_F(MailboxTest, SecondPostReturnsOnlyAfterTheFirstIsTaken) {
  box.Change(1, kStatRow, -1, -1);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    box.Change(2, kStatValue, 5, -1);
    done = true;
  });

  ASSERT_TRUE(WaitUntil([] { return g_sleeps.load() >= 1; })) << "the worker waits";
  EXPECT_FALSE(done.load()) << "the slot is still taken";
  ProcStatus::Post post;
  ASSERT_TRUE(box.Take(post));
  EXPECT_EQ(post.nFlags, kStatRow);
  EXPECT_EQ(post.nIndex, 1);
  EXPECT_EQ(post.nValue, 8);

  ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
  worker.join();
  ASSERT_TRUE(box.Take(post));
  EXPECT_EQ(post.nFlags, kStatValue);
  EXPECT_EQ(post.nIndex, 2);
  EXPECT_EQ(post.nValue, 5);
  EXPECT_EQ(g_askedMs.load(), kStatWaitMs);
}

TEST_F(MailboxTest, QuitWhileTheWorkerWaitsReturnsWithoutPosting) {
  box.Change(1, kStatRow, -1, -1);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    box.Change(2, kStatValue | kStatMax, 5, 6);
    done = true;
  });

  ASSERT_TRUE(WaitUntil([] { return g_sleeps.load() >= 1; }));
  const int sleepsAtQuit = g_sleeps.load();
  box.bQuit = true;
  ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_LE(g_sleeps.load(), sleepsAtQuit + 1) << "at most the sleep under way, or one begun";
  EXPECT_EQ(box.nFlags.load(), kStatRow);
  EXPECT_EQ(box.nIndex, 1);
  EXPECT_EQ(box.nValue, 8);
  EXPECT_EQ(box.nMax, 9);
}

// A worker posting a run of progress values and a consumer polling like the display timer:
// every post arrives once, whole and in order.
TEST(MailboxStream, EveryPostArrivesOnceAndInOrder) {
  struct Case {
    const char* name;
    void (*sleep)(long ms);
    int posts;
  };
  const Case cases[] = {{"1 ms waits", CountingSleep, 300},
                        {"the real 100 ms waits", SleepCurrentThread, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PrimedBox box;
    box.pfnSleep = c.sleep;
    std::thread worker([&] {
      box.Change(0, kStatMax, 0, c.posts);
      for (int i = 1; i <= c.posts; ++i) box.Change(i, kStatRow | kStatValue, i * 10, -1);
    });

    std::vector<ProcStatus::Post> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (static_cast<int>(got.size()) < c.posts + 1 &&
           std::chrono::steady_clock::now() < deadline) {
      ProcStatus::Post post;
      if (box.Take(post)) {
        got.push_back(post);
      } else {
        std::this_thread::yield();
      }
    }
    worker.join();

    ASSERT_EQ(static_cast<int>(got.size()), c.posts + 1);
    EXPECT_EQ(got[0].nFlags, kStatMax);
    EXPECT_EQ(got[0].nMax, c.posts);
    for (int i = 1; i <= c.posts; ++i) {
      EXPECT_EQ(got[i].nFlags, kStatRow | kStatValue) << i;
      EXPECT_EQ(got[i].nIndex, i);
      EXPECT_EQ(got[i].nValue, i * 10);
      EXPECT_EQ(got[i].nMax, c.posts) << "kept from the first post";
    }
    EXPECT_EQ(box.nFlags.load(), 0u);
  }
}

}  // namespace
