// Block sorting: the effort bound and randomisation, and the quicksort's stack under an
// adversarial block.
#include <algorithm>
#include <array>

#include "codec_test_util.h"

namespace zdx::test {
namespace {

Bytes Periodic(const std::string& period, size_t n) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(period[i % period.size()]);
  return out;
}

// True when zptr[0..last] lists the rotations of the block in ascending order.
bool RotationsSorted(const CompressState& s) {
  const int32_t n = s.last + 1;
  auto less = [&](int32_t a, int32_t b) {
    for (int32_t k = 0; k < n; ++k) {
      const uint8_t ca = s.block[(a + k) % n];
      const uint8_t cb = s.block[(b + k) % n];
      if (ca != cb) return ca < cb;
    }
    return false;
  };
  std::vector<bool> seen(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    if (s.zptr[i] < 0 || s.zptr[i] >= n || seen[static_cast<size_t>(s.zptr[i])]) return false;
    seen[static_cast<size_t>(s.zptr[i])] = true;
    if (i > 0 && less(s.zptr[i], s.zptr[i - 1])) return false;
  }
  return s.zptr[s.origPtr] == 0;
}

// The positions a randomised block of n bytes has flipped: the byte two before the end of each
// interval, the intervals being the table's entries laid end to end from position 0.
std::vector<int32_t> FlippedPositions(int32_t n) {
  std::vector<int32_t> out;
  int32_t start = 0;
  for (int k = 0;; k = (k + 1) % kRandTableSize) {
    const int32_t flipped = start + rNums[k] - 2;
    if (flipped >= n) return out;
    out.push_back(flipped);
    start += rNums[k];
  }
}

TEST(Sort, PeriodicBlockPassesTheBoundAndIsRandomised) {
  LoadedState st;
  st.Load(Periodic("abc", 6000));
  const Bytes before = st.Block();
  ASSERT_EQ(doReversibleTransformation(st.s), 1);
  EXPECT_TRUE(st.s.blockRandomised);
  EXPECT_FALSE(st.s.firstAttempt);

  std::vector<int32_t> changed;
  for (int32_t i = 0; i <= st.s.last; ++i) {
    if (st.s.block[i] != before[static_cast<size_t>(i)]) {
      changed.push_back(i);
      EXPECT_EQ(st.s.block[i], before[static_cast<size_t>(i)] ^ 1) << i;
    }
  }
  ASSERT_GE(changed.size(), 3u);
  EXPECT_EQ((std::vector<int32_t>(changed.begin(), changed.begin() + 3)),
            (std::vector<int32_t>{617, 1337, 1464}));
  EXPECT_EQ(changed, FlippedPositions(st.s.last + 1));
  // inUse describes the randomised block: 'a' ^ 1 = '`' now occurs.
  EXPECT_TRUE(st.s.inUse['`']);
  EXPECT_TRUE(RotationsSorted(st.s));
}

TEST(Sort, RandomisedFlagInTheStream) {
  struct Case {
    const char* name;
    Bytes input;
    bool bRandomised;
  };
  const Case cases[] = {
      {"periodic", Periodic("abc", 6000), true},
      {"one value, a period of five coded bytes", Repeat(300000, 'x'), true},
      {"periodic but small: never bounded", Periodic("abc", 4000), false},
      {"random", RandomBytes(20000, 5), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes stream = ExpectRoundTrip(c.input);
    ASSERT_GT(stream.size(), 10u);
    EXPECT_EQ((stream[10] & 0x80) != 0, c.bRandomised);  // the bit after marker and block CRC
  }
}

// A block whose small bucket (0, 0) keeps the quicksort's stack growing. The block is records
// "0 0 c2 .. c10"; the cells are chosen while the partitioning of that bucket is simulated:
// at each step two of the three pivot samples get the smallest value not yet used at this depth,
// so the pivot is that value and every other entry of the range is greater. Each step then
// leaves two ranges pending (the empty smaller range and the two equal entries) and goes on with
// all the others; when a depth runs out of values the rest share the top value and the range
// goes one byte deeper. Cells alternate between even and odd values from depth to depth, so the
// block has no runs and is its own run-length form, and no cell is 0, so only record starts
// begin with "0 0".
Bytes AdversarialBlock(int nRecords) {
  constexpr int kFirstDepth = 2;
  constexpr int kLastDepth = kQsortMaxDepth;
  auto top = [](int d) { return d % 2 == 0 ? 254 : 255; };
  std::vector<std::array<int, kLastDepth + 1>> cell(static_cast<size_t>(nRecords));
  for (auto& c : cell) c.fill(-1);  // not chosen yet: greater than every chosen value

  // The bucket fills from its top downward in ascending position order.
  std::vector<int> z(static_cast<size_t>(nRecords));
  for (int i = 0; i < nRecords; ++i) z[static_cast<size_t>(i)] = nRecords - 1 - i;
  int next[kLastDepth + 1];
  for (int d = 0; d <= kLastDepth; ++d) next[d] = d % 2 == 0 ? 2 : 1;

  int lo = 0;
  const int hi = nRecords - 1;
  int d = kFirstDepth;
  auto val = [&](int i) {
    const int c = cell[static_cast<size_t>(z[static_cast<size_t>(i)])][static_cast<size_t>(d)];
    return c < 0 ? 256 : c;
  };
  auto swapAt = [&](int a, int b) {
    std::swap(z[static_cast<size_t>(a)], z[static_cast<size_t>(b)]);
  };
  while (d <= kLastDepth && hi - lo >= kQsortSmall) {
    if (next[d] >= top(d)) {
      ++d;
      continue;
    }
    const int med = next[d];
    next[d] += 2;
    cell[static_cast<size_t>(z[static_cast<size_t>(lo)])][static_cast<size_t>(d)] = med;
    cell[static_cast<size_t>(z[static_cast<size_t>(hi)])][static_cast<size_t>(d)] = med;
    // The partition, step for step as the sort does it.
    int unLo = lo, ltLo = lo, unHi = hi, gtHi = hi;
    for (;;) {
      while (unLo <= unHi) {
        const int n = val(unLo) - med;
        if (n == 0) {
          swapAt(unLo++, ltLo++);
          continue;
        }
        if (n > 0) break;
        ++unLo;
      }
      while (unLo <= unHi) {
        const int n = val(unHi) - med;
        if (n == 0) {
          swapAt(unHi--, gtHi--);
          continue;
        }
        if (n < 0) break;
        --unHi;
      }
      if (unLo > unHi) break;
      swapAt(unLo++, unHi--);
    }
    const int n = std::min(ltLo - lo, unLo - ltLo);
    for (int k = 0; k < n; ++k) swapAt(lo + k, unLo - n + k);
    const int m = std::min(hi - gtHi, gtHi - unHi);
    for (int k = 0; k < m; ++k) swapAt(unLo + k, hi - m + 1 + k);
    lo = hi - (gtHi - unHi) + 1;  // the greater range is taken next
  }

  Bytes block;
  for (const auto& c : cell) {
    block.push_back(0);
    block.push_back(0);
    for (int dd = kFirstDepth; dd <= kLastDepth; ++dd) {
      block.push_back(static_cast<uint8_t>(
          c[static_cast<size_t>(dd)] < 0 ? top(dd) : c[static_cast<size_t>(dd)]));
    }
  }
  return block;
}

TEST(Sort, QuicksortStackGrowsPastItsFirstThousandRanges) {
  const Bytes block = AdversarialBlock(2400);
  LoadedState st;
  st.Load(block);
  ASSERT_EQ(st.Block(), block) << "the block must be its own run-length form";
  ASSERT_EQ(doReversibleTransformation(st.s), 1);
  EXPECT_GT(st.s.qsStackHighWater, 2 * kQsortStackInitial);
  EXPECT_TRUE(RotationsSorted(st.s));
  ExpectRoundTrip(block);
}

TEST(Sort, RefusedStackGrowthFailsTheCompression) {
  // Requests 1-5 are the work areas; the 6th is the first growth of the stack.
  RefusingAllocator::Reset(6);
  CompressState s;
  s.pfnAlloc = &RefusingAllocator::Alloc;
  s.pfnFree = &RefusingAllocator::Free;
  MemoryIO io(AdversarialBlock(2400));
  EXPECT_EQ(zdx::Compress(s, io), 0);
  EXPECT_EQ(s.error, CodecError::NoMemory);
  EXPECT_EQ(RefusingAllocator::nOutstanding, 0);
}

TEST(Sort, TinyBlocksRepeatThemselvesIntoTheOvershoot) {
  for (const char* text : {"a", "ab", "ba", "abcab", "zzzzzzzzzzzzzzzzzzzzzzzzzz"}) {
    SCOPED_TRACE(text);
    LoadedState st;
    st.Load(ToBytes(text));
    ASSERT_EQ(doReversibleTransformation(st.s), 1);
    const int32_t n = st.s.last + 1;
    for (int32_t k = 0; k < kOvershoot; ++k) EXPECT_EQ(st.s.block[n + k], st.s.block[k % n]);
    EXPECT_EQ(st.s.block[-1], st.s.block[n - 1]);
    EXPECT_FALSE(st.s.blockRandomised);
    EXPECT_TRUE(RotationsSorted(st.s));
  }
}

}  // namespace
}  // namespace zdx::test
