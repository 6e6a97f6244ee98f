#include "support/struct_array.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

enum class Hook { kSpoil, kClear };

struct HookCall {
  Hook kind;
  int32_t nId;            // the record's id when the hook ran
  std::uintptr_t nWhere;  // the record's address when the hook ran
  bool operator==(const HookCall&) const = default;
};

std::vector<HookCall> g_calls;

// A record that logs every hook call with its id and address.
struct Counted final : ArrayElem {
  explicit Counted(int32_t id = 0) : nId(id) {}
  void Clear() override { g_calls.push_back({Hook::kClear, nId, Addr(this)}); }
  void Spoil() override { g_calls.push_back({Hook::kSpoil, nId, Addr(this)}); }
  static std::uintptr_t Addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
  int32_t nId;
  int32_t nPad = 0x5A5A5A5A;
};

constexpr long kSize = sizeof(Counted);

// Replaces the array's allocator while alive: counts every malloc/realloc and fails the call
// numbered `failAt` (0-based) and every one after it, or none when failAt is -1.
class AllocSeam {
 public:
  explicit AllocSeam(int failAt = -1) {
    sCalls = 0;
    sFailAt = failAt;
    CStructArray::sMalloc = Malloc;
    CStructArray::sRealloc = Realloc;
  }
  ~AllocSeam() {
    CStructArray::sMalloc = std::malloc;
    CStructArray::sRealloc = std::realloc;
  }
  AllocSeam(const AllocSeam&) = delete;
  AllocSeam& operator=(const AllocSeam&) = delete;
  void Heal() { sFailAt = -1; }
  static int Calls() { return sCalls; }

 private:
  static bool Fails() {
    const int call = sCalls++;
    return sFailAt >= 0 && call >= sFailAt;
  }
  static void* Malloc(std::size_t n) { return Fails() ? nullptr : std::malloc(n); }
  static void* Realloc(void* p, std::size_t n) { return Fails() ? nullptr : std::realloc(p, n); }
  static inline int sCalls = 0;
  static inline int sFailAt = -1;
};

std::vector<int32_t> Ids(const CStructArray& a) {
  std::vector<int32_t> ids;
  for (long i = 0; i < a.nCount; ++i) ids.push_back(a.At<Counted>(i)->nId);
  return ids;
}

std::vector<int32_t> Range(int32_t from, int32_t to) {  // from..to-1
  std::vector<int32_t> v;
  for (int32_t i = from; i < to; ++i) v.push_back(i);
  return v;
}

// Appends records with the given ids one at a time.
void Fill(CStructArray& a, const std::vector<int32_t>& ids) {
  for (int32_t id : ids) {
    Counted c(id);
    ASSERT_EQ(a.Insert(a.nCount, 1, &c), 1);
  }
}

class StructArrayTest : public ::testing::Test {
 protected:
  void SetUp() override { g_calls.clear(); }
  void TearDown() override { g_calls.clear(); }
  CStructArray arr{kSize, 16};
};

TEST_F(StructArrayTest, ReallocToCurrentCountChangesNothing) {
  AllocSeam seam;
  EXPECT_EQ(arr.Realloc(0), 1);
  EXPECT_EQ(arr.pData, nullptr);
  EXPECT_EQ(arr.nAllocated, 0);

  Fill(arr, {0, 1, 2});
  unsigned char* data = arr.pData;
  const int calls = AllocSeam::Calls();
  g_calls.clear();
  EXPECT_EQ(arr.Realloc(3), 1);
  EXPECT_EQ(arr.pData, data);
  EXPECT_EQ(arr.nAllocated, 16);
  EXPECT_EQ(arr.nCount, 3);
  EXPECT_EQ(AllocSeam::Calls(), calls);
  EXPECT_TRUE(g_calls.empty());
}

TEST(StructArrayRoom, RoomIsCountRoundedUpToWholeQuanta) {
  struct Case {
    long quantum, count, allocated;
  };
  const Case cases[] = {
      {16, 1, 16}, {16, 16, 16}, {16, 17, 32}, {16, 32, 32}, {16, 33, 48},
      {4, 1, 4},   {4, 5, 8},    {1, 3, 3},    {0, 3, 3},  // a quantum below 1 counts as 1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "quantum " << c.quantum << ", count " << c.count);
    CStructArray a(8, c.quantum);
    ASSERT_EQ(a.Realloc(c.count), 1);
    EXPECT_EQ(a.nCount, c.count);
    EXPECT_EQ(a.nAllocated, c.allocated);
    EXPECT_NE(a.pData, nullptr);
    ASSERT_EQ(a.Realloc(0), 1);  // the bytes were never records: nothing to clear
    EXPECT_EQ(a.pData, nullptr);
    EXPECT_EQ(a.nAllocated, 0);
  }
}

TEST_F(StructArrayTest, GrowsAndShrinksOncePerQuantum) {
  AllocSeam seam;
  EXPECT_FALSE(arr.HaveData());
  for (int32_t n = 1; n <= 40; ++n) {
    Counted c(n - 1);
    ASSERT_EQ(arr.Insert(arr.nCount, 1, &c), 1);
    EXPECT_EQ(arr.nCount, n);
    EXPECT_EQ(arr.nAllocated, (n + 15) / 16 * 16) << "after append " << n;
  }
  EXPECT_EQ(AllocSeam::Calls(), 3);  // room for 16, 32, 48
  EXPECT_EQ(Ids(arr), Range(0, 40));
  EXPECT_TRUE(arr.HaveData());

  for (int32_t n = 39; n >= 1; --n) {
    ASSERT_EQ(arr.Delete(n, 1), 1);
    EXPECT_EQ(arr.nAllocated, (n + 15) / 16 * 16) << "after delete down to " << n;
  }
  EXPECT_EQ(AllocSeam::Calls(), 3 + 2);  // down to 32 and to 16
  ASSERT_EQ(arr.Delete(0, 1), 1);
  EXPECT_EQ(arr.pData, nullptr);
  EXPECT_EQ(arr.nCount, 0);
  EXPECT_EQ(arr.nAllocated, 0);
  EXPECT_FALSE(arr.HaveData());
}

TEST_F(StructArrayTest, InsertKeepsOrderAndSpoilsOnlyTheSources) {
  struct Case {
    int32_t initial;
    long index;
    int32_t count;
    std::vector<int32_t> expected;
    int32_t allocated;
  };
  const std::vector<int32_t> grow = [] {
    std::vector<int32_t> v = Range(0, 8);
    v.push_back(100);
    for (int32_t i = 8; i < 16; ++i) v.push_back(i);
    return v;
  }();
  const Case cases[] = {
      {3, 1, 2, {0, 100, 101, 1, 2}, 16},
      {3, 0, 1, {100, 0, 1, 2}, 16},
      {3, 3, 2, {0, 1, 2, 100, 101}, 16},
      {0, 0, 3, {100, 101, 102}, 16},
      {16, 8, 1, grow, 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.initial << " records, insert " << c.count << " at "
                                    << c.index);
    CStructArray a(kSize, 16);
    Fill(a, Range(0, c.initial));
    std::vector<Counted> src;
    for (int32_t k = 0; k < c.count; ++k) src.emplace_back(100 + k);
    g_calls.clear();

    ASSERT_EQ(a.Insert(c.index, c.count, src.data()), 1);
    EXPECT_EQ(Ids(a), c.expected);
    EXPECT_EQ(a.nAllocated, c.allocated);
    std::vector<HookCall> expected;
    for (int32_t k = 0; k < c.count; ++k) {
      expected.push_back({Hook::kSpoil, 100 + k, Counted::Addr(&src[k])});
    }
    EXPECT_EQ(g_calls, expected);
    g_calls.clear();
  }
}

TEST_F(StructArrayTest, DeleteClearsEachRecordInPlaceBeforeClosingTheGap) {
  struct Case {
    int32_t initial;
    long index, count;
    std::vector<int32_t> expected;
    int32_t allocated;
  };
  const Case cases[] = {
      {5, 1, 2, {0, 3, 4}, 16},
      {5, 0, 1, {1, 2, 3, 4}, 16},
      {5, 3, 2, {0, 1, 2}, 16},  // at the end: nothing to move
      {5, 0, 5, {}, 0},
      {17, 0, 1, Range(1, 17), 16},
      {20, 16, 4, Range(0, 16), 16},
      {40, 2, 30, {0, 1, 32, 33, 34, 35, 36, 37, 38, 39}, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.initial << " records, delete " << c.count << " at "
                                    << c.index);
    CStructArray a(kSize, 16);
    Fill(a, Range(0, c.initial));
    const std::uintptr_t data = Counted::Addr(a.pData);
    g_calls.clear();

    ASSERT_EQ(a.Delete(c.index, c.count), 1);
    EXPECT_EQ(Ids(a), c.expected);
    EXPECT_EQ(a.nCount, static_cast<int32_t>(c.expected.size()));
    EXPECT_EQ(a.nAllocated, c.allocated);
    EXPECT_EQ(a.HaveData(), !c.expected.empty());
    if (c.expected.empty()) {
      EXPECT_EQ(a.pData, nullptr);
    }
    // Each cleared record still held its own id at its own place: nothing had been moved over it.
    std::vector<HookCall> expected;
    for (long i = c.index; i < c.index + c.count; ++i) {
      expected.push_back({Hook::kClear, static_cast<int32_t>(i), data + i * kSize});
    }
    EXPECT_EQ(g_calls, expected);
    g_calls.clear();
  }
}

TEST_F(StructArrayTest, ClearAndDestructorClearEveryRecordOnce) {
  {
    AllocSeam seam;
    arr.Clear();  // empty, no storage: nothing happens
    EXPECT_EQ(AllocSeam::Calls(), 0);
    EXPECT_TRUE(g_calls.empty());
  }

  Fill(arr, {7, 8, 9});
  g_calls.clear();
  arr.Clear();
  EXPECT_EQ(arr.pData, nullptr);
  EXPECT_EQ(arr.nCount, 0);
  EXPECT_EQ(arr.nAllocated, 0);
  ASSERT_EQ(g_calls.size(), 3u);
  for (int32_t k = 0; k < 3; ++k) {
    EXPECT_EQ(g_calls[k].kind, Hook::kClear);
    EXPECT_EQ(g_calls[k].nId, 7 + k);
  }

  g_calls.clear();
  {
    CStructArray scoped(kSize, 4);
    Fill(scoped, {1, 2});
    g_calls.clear();
  }
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(g_calls[0].nId, 1);
  EXPECT_EQ(g_calls[1].nId, 2);
}

TEST_F(StructArrayTest, FailedAllocationLeavesArrayAndSourceUntouched) {
  struct Case {
    int32_t initial;
    long index;
    int32_t count;
  };
  const Case cases[] = {
      {0, 0, 1},   // first storage (malloc)
      {16, 16, 1}, // append that must grow (realloc)
      {16, 4, 2},  // insert in the middle that must grow
      {30, 0, 5},  // growth by more than one quantum
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.initial << " records, insert " << c.count << " at "
                                    << c.index);
    CStructArray a(kSize, 16);
    Fill(a, Range(0, c.initial));
    std::vector<Counted> src;
    for (int32_t k = 0; k < c.count; ++k) src.emplace_back(100 + k);
    const std::vector<unsigned char> srcBytes(
        reinterpret_cast<const unsigned char*>(src.data()),
        reinterpret_cast<const unsigned char*>(src.data() + c.count));
    const std::vector<unsigned char> arrBytes(a.pData, a.pData + a.nCount * kSize);
    unsigned char* data = a.pData;
    const int32_t allocated = a.nAllocated;
    g_calls.clear();

    AllocSeam seam(0);
    EXPECT_EQ(a.Insert(c.index, c.count, src.data()), 0);
    EXPECT_EQ(AllocSeam::Calls(), 1);
    EXPECT_EQ(a.nCount, c.initial);
    EXPECT_EQ(a.nAllocated, allocated);
    EXPECT_EQ(a.pData, data);
    EXPECT_EQ(std::vector<unsigned char>(a.pData, a.pData + a.nCount * kSize), arrBytes);
    EXPECT_EQ(std::vector<unsigned char>(reinterpret_cast<const unsigned char*>(src.data()),
                                         reinterpret_cast<const unsigned char*>(src.data() + c.count)),
              srcBytes);
    EXPECT_TRUE(g_calls.empty()) << "no hook may run on a failed insert";

    seam.Heal();  // the array is still usable
    EXPECT_EQ(a.Insert(c.index, c.count, src.data()), 1);
    EXPECT_EQ(a.nCount, c.initial + c.count);
    g_calls.clear();
  }
}

TEST_F(StructArrayTest, FailedShrinkStillRemovesTheRecordsExactlyOnce) {
  Fill(arr, Range(0, 17));
  ASSERT_EQ(arr.nAllocated, 32);
  g_calls.clear();

  AllocSeam seam(0);
  EXPECT_EQ(arr.Delete(16, 1), 0);
  EXPECT_EQ(AllocSeam::Calls(), 1);
  EXPECT_EQ(Ids(arr), Range(0, 16));
  EXPECT_EQ(arr.nAllocated, 32);  // kept the larger block
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].nId, 16);

  // Growing back within the kept room needs no allocation; the next shrink succeeds and
  // restores the room to the quantum multiple.
  seam.Heal();
  g_calls.clear();
  Fill(arr, {50});
  EXPECT_EQ(Ids(arr).back(), 50);
  EXPECT_EQ(arr.nAllocated, 32);
  ASSERT_EQ(arr.Delete(0, 2), 1);
  EXPECT_EQ(arr.nAllocated, 16);

  g_calls.clear();
  arr.Clear();  // every remaining record once; none of the stale bytes past nCount
  std::vector<int32_t> cleared;
  for (const HookCall& call : g_calls) cleared.push_back(call.nId);
  std::vector<int32_t> expected = Range(2, 16);
  expected.push_back(50);
  EXPECT_EQ(cleared, expected);
}

}  // namespace
