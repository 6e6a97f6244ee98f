// Block sorting: the sorted order of all rotations of the block, within a bounded effort on the
// first attempt and after a randomisation on the second.
//
// Blocks of up to kSmallBlockLast + 1 bytes are Shell-sorted whole. Larger ones are distributed by
// their first two bytes into 65,536 small buckets; the 256 big buckets are then finished smallest
// first. Each finished big bucket gives its positions 16-bit order numbers (`quadrant`) that cut
// later long comparisons short, and hands its order to the small buckets that end in its byte.
#include <algorithm>
#include <cstring>
#include <utility>

#include "codec/codec-internal.h"

namespace zdx {

namespace {

constexpr uint32_t kClearMask = ~kBucketSorted;

// The first attempt is abandoned as soon as an effort check finds the bound passed.
inline bool effortPassed(const CompressState& s) {
  return s.workDone > s.workLimit && s.firstAttempt;
}

inline uint8_t med3(uint8_t a, uint8_t b, uint8_t c) {
  if (a > b) std::swap(a, b);
  if (b > c) {
    b = c;
    if (a > b) b = a;
  }
  return b;
}

inline void vswap(int32_t* zptr, int32_t p1, int32_t p2, int32_t n) {
  while (n > 0) {
    std::swap(zptr[p1], zptr[p2]);
    ++p1;
    ++p2;
    --n;
  }
}

inline int32_t bucketStart(const int32_t* ftab, int32_t k) {
  return static_cast<int32_t>(static_cast<uint32_t>(ftab[k]) & kClearMask);
}

// Makes room for one more pending range: the stack doubles, so ranges are taken exactly as with
// an unbounded stack. Returns false when the memory is refused.
bool growStack(CompressState& s) {
  const int32_t newSize = s.qsStackSize * 2;
  auto* bigger = static_cast<QsRange*>(s.pfnAlloc(sizeof(QsRange) * static_cast<size_t>(newSize)));
  if (bigger == nullptr) return false;
  std::memcpy(bigger, s.qsStack, sizeof(QsRange) * static_cast<size_t>(s.qsStackSize));
  s.pfnFree(s.qsStack);
  s.qsStack = bigger;
  s.qsStackSize = newSize;
  return true;
}

template <typename T>
T* obtain(CompressState& s, size_t count) {
  return static_cast<T*>(s.pfnAlloc(sizeof(T) * count));
}

template <typename T>
void release(CompressState& s, T*& p) {
  if (p != nullptr) {
    s.pfnFree(p);
    p = nullptr;
  }
}

}  // namespace

int allocateCompressStructures(CompressState& s) {
  s.blockX = obtain<unsigned char>(s, kBlockBufferSize);
  if (s.blockX != nullptr) s.quadrant = obtain<uint16_t>(s, kQuadrantEntries);
  if (s.quadrant != nullptr) s.zptr = obtain<int32_t>(s, kZptrEntries);
  if (s.zptr != nullptr) s.ftab = obtain<int32_t>(s, kFtabEntries);
  if (s.ftab != nullptr) s.qsStack = obtain<QsRange>(s, kQsortStackInitial);
  if (s.qsStack == nullptr) {
    FreeAll(s);
    return 0;
  }
  s.szptr = reinterpret_cast<AliasU16*>(s.zptr);
  s.block = s.blockX + 1;
  s.qsStackSize = kQsortStackInitial;
  s.qsStackHighWater = 0;
  return 1;
}

void FreeAll(CompressState& s) {
  release(s, s.blockX);
  release(s, s.quadrant);
  release(s, s.zptr);
  release(s, s.ftab);
  release(s, s.qsStack);
  s.block = nullptr;
  s.szptr = nullptr;
  s.qsStackSize = 0;
}

// Compares the rotations read from positions i1 and i2 (rotation starts plus a depth of at most
// 11): true when the one at i1 is greater. Six plain byte compares settle most calls; only the
// long loop, which also consults the order numbers, counts effort.
bool fullGtU(CompressState& s, int32_t i1, int32_t i2) {
  const unsigned char* const block = s.block;
  const uint16_t* const quadrant = s.quadrant;
  for (int k = 0; k < 6; ++k) {
    const unsigned char c1 = block[i1];
    const unsigned char c2 = block[i2];
    if (c1 != c2) return c1 > c2;
    ++i1;
    ++i2;
  }
  const int32_t last = s.last;
  int32_t k = last + 1;
  do {
    for (int step = 0; step < 4; ++step) {
      const unsigned char c1 = block[i1];
      const unsigned char c2 = block[i2];
      if (c1 != c2) return c1 > c2;
      const uint16_t q1 = quadrant[i1];
      const uint16_t q2 = quadrant[i2];
      if (q1 != q2) return q1 > q2;
      ++i1;
      ++i2;
    }
    if (i1 > last) i1 -= last + 1;
    if (i2 > last) i2 -= last + 1;
    k -= 4;
    ++s.workDone;
  } while (k >= 0);
  return false;
}

// Shell sort of zptr[lo..hi] comparing from byte offset d. Inserts three elements per round and
// tests the effort bound once per round; a round cut short by the end of the range ends the pass
// without a test.
void simpleSort(CompressState& s, int32_t lo, int32_t hi, int32_t d) {
  const int32_t bigN = hi - lo + 1;
  if (bigN < 2) return;
  int hp = 0;
  while (incs[hp] < bigN) ++hp;
  --hp;

  int32_t* const zptr = s.zptr;
  for (; hp >= 0; --hp) {
    const int32_t h = incs[hp];
    const int32_t stop = lo + h - 1;
    auto insert = [&](int32_t i) {
      const int32_t v = zptr[i];
      int32_t j = i;
      while (fullGtU(s, zptr[j - h] + d, v + d)) {
        zptr[j] = zptr[j - h];
        j -= h;
        if (j <= stop) break;
      }
      zptr[j] = v;
    };
    int32_t i = lo + h;
    for (;;) {
      if (i > hi) break;
      insert(i++);
      if (i > hi) break;
      insert(i++);
      if (i > hi) break;
      insert(i++);
      if (effortPassed(s)) return;
    }
  }
}

// Three-way radix quicksort of zptr[lo..hi] on the byte at depth d, with an explicit stack of
// pending ranges. Each partition pushes the smaller range, the equal range one byte deeper and
// then the greater range, which is therefore taken next.
void qSort3(CompressState& s, int32_t loSt, int32_t hiSt, int32_t dSt) {
  int32_t* const zptr = s.zptr;
  const unsigned char* const block = s.block;
  int32_t sp = 0;

  auto push = [&](int32_t lo, int32_t hi, int32_t d) {
    if (sp == s.qsStackSize && !growStack(s)) return false;
    s.qsStack[sp++] = QsRange{lo, hi, d};
    if (sp > s.qsStackHighWater) s.qsStackHighWater = sp;
    return true;
  };
  auto fail = [&] { s.error = CodecError::NoMemory; };

  if (!push(loSt, hiSt, dSt)) return fail();

  while (sp > 0) {
    const QsRange r = s.qsStack[--sp];
    const int32_t lo = r.lo;
    const int32_t hi = r.hi;
    const int32_t d = r.d;

    if (hi - lo < kQsortSmall || d > kQsortMaxDepth) {
      simpleSort(s, lo, hi, d);
      if (effortPassed(s)) return;
      continue;
    }

    const int med = med3(block[zptr[lo] + d], block[zptr[hi] + d], block[zptr[(lo + hi) >> 1] + d]);

    // [lo, ltLo) equal, [ltLo, unLo) smaller, (unHi, gtHi] greater, (gtHi, hi] equal.
    int32_t unLo = lo;
    int32_t ltLo = lo;
    int32_t unHi = hi;
    int32_t gtHi = hi;
    for (;;) {
      while (unLo <= unHi) {
        const int n = static_cast<int>(block[zptr[unLo] + d]) - med;
        if (n == 0) {
          std::swap(zptr[unLo], zptr[ltLo]);
          ++ltLo;
          ++unLo;
          continue;
        }
        if (n > 0) break;
        ++unLo;
      }
      while (unLo <= unHi) {
        const int n = static_cast<int>(block[zptr[unHi] + d]) - med;
        if (n == 0) {
          std::swap(zptr[unHi], zptr[gtHi]);
          --gtHi;
          --unHi;
          continue;
        }
        if (n < 0) break;
        --unHi;
      }
      if (unLo > unHi) break;
      std::swap(zptr[unLo], zptr[unHi]);
      ++unLo;
      --unHi;
    }

    if (gtHi < ltLo) {  // every entry had the pivot byte
      if (!push(lo, hi, d + 1)) return fail();
      continue;
    }

    int32_t n = std::min(ltLo - lo, unLo - ltLo);
    vswap(zptr, lo, unLo - n, n);
    int32_t m = std::min(hi - gtHi, gtHi - unHi);
    vswap(zptr, unLo, hi - m + 1, m);

    n = lo + unLo - ltLo - 1;
    m = hi - (gtHi - unHi) + 1;
    if (!push(lo, n, d) || !push(n + 1, m - 1, d + 1) || !push(m, hi, d)) return fail();
  }
}

void sortIt(CompressState& s) {
  unsigned char* const block = s.block;
  uint16_t* const quadrant = s.quadrant;
  int32_t* const zptr = s.zptr;
  int32_t* const ftab = s.ftab;
  const int32_t last = s.last;

  // Overshoot: the bytes after the block repeat its start, so comparisons that run past the end
  // read what they would read after wrapping.
  for (int32_t k = 0; k < kOvershoot; ++k) block[last + 1 + k] = block[k % (last + 1)];
  std::memset(quadrant, 0, sizeof(uint16_t) * static_cast<size_t>(last + 1 + kOvershoot));
  block[-1] = block[last];

  if (last <= kSmallBlockLast) {
    for (int32_t i = 0; i <= last; ++i) zptr[i] = i;
    s.firstAttempt = false;
    s.workDone = 0;
    s.workLimit = 0;
    simpleSort(s, 0, last, 0);
    return;
  }

  bool bigDone[256] = {};
  std::memset(ftab, 0, sizeof(int32_t) * kFtabEntries);

  // Count pairs, each position under the pair that ends at it.
  uint32_t c1 = block[-1];
  for (int32_t i = 0; i <= last; ++i) {
    const uint32_t c2 = block[i];
    ++ftab[(c1 << 8) + c2];
    c1 = c2;
  }
  for (int32_t k = 0; k < 65536; ++k) ftab[k + 1] += ftab[k];

  // Place every rotation in its small bucket, which fills from its top downward.
  c1 = block[0];
  for (int32_t i = 0; i < last; ++i) {
    const uint32_t c2 = block[i + 1];
    const uint32_t j = (c1 << 8) + c2;
    zptr[--ftab[j]] = i;
    c1 = c2;
  }
  {
    const uint32_t j = (static_cast<uint32_t>(block[last]) << 8) + block[0];
    zptr[--ftab[j]] = last;
  }

  // Order the big buckets by size, ascending (Shell sort, increments 121, 40, 13, 4, 1).
  int32_t runningOrder[256];
  for (int32_t i = 0; i < 256; ++i) runningOrder[i] = i;
  auto bigFreq = [&](int32_t b) { return ftab[(b + 1) << 8] - ftab[b << 8]; };
  {
    int32_t h = 1;
    do h = 3 * h + 1;
    while (h <= 256);
    do {
      h = h / 3;
      for (int32_t i = h; i <= 255; ++i) {
        const int32_t v = runningOrder[i];
        int32_t j = i;
        while (bigFreq(runningOrder[j - h]) > bigFreq(v)) {
          runningOrder[j] = runningOrder[j - h];
          j -= h;
          if (j <= h - 1) break;
        }
        runningOrder[j] = v;
      }
    } while (h != 1);
  }

  for (int32_t i = 0; i <= 255; ++i) {
    const int32_t ss = runningOrder[i];

    // Finish big bucket ss by sorting each of its small buckets not yet sorted.
    for (int32_t j = 0; j <= 255; ++j) {
      const int32_t sb = (ss << 8) + j;
      if ((static_cast<uint32_t>(ftab[sb]) & kBucketSorted) == 0) {
        const int32_t lo = bucketStart(ftab, sb);
        const int32_t hi = bucketStart(ftab, sb + 1) - 1;
        if (hi > lo) {
          qSort3(s, lo, hi, 2);
          if (s.error != CodecError::None || effortPassed(s)) return;
        }
      }
      ftab[sb] = static_cast<int32_t>(static_cast<uint32_t>(ftab[sb]) | kBucketSorted);
    }
    bigDone[ss] = true;

    // Order numbers for the positions of this bucket; the last bucket needs none, as no
    // comparison runs after it. A big bucket is grouped by a power of two to fit 16 bits.
    if (i < 255) {
      const int32_t bbStart = bucketStart(ftab, ss << 8);
      const int32_t bbSize = bucketStart(ftab, (ss + 1) << 8) - bbStart;
      int shifts = 0;
      while ((bbSize >> shifts) > kQuadrantMaxOrder) ++shifts;
      for (int32_t j = 0; j < bbSize; ++j) {
        const int32_t a = zptr[bbStart + j];
        const auto qVal = static_cast<uint16_t>(j >> shifts);
        quadrant[a] = qVal;
        if (a < kOvershoot) quadrant[a + last + 1] = qVal;
      }
    }

    // The rotations before those of bucket ss, in its order, are the small buckets (t, ss) of
    // every big bucket t not yet done, already sorted.
    int32_t copy[256];
    for (int32_t j = 0; j <= 255; ++j) copy[j] = bucketStart(ftab, (j << 8) + ss);
    const int32_t end = bucketStart(ftab, (ss + 1) << 8);
    for (int32_t j = bucketStart(ftab, ss << 8); j < end; ++j) {
      const int32_t p = zptr[j];
      const unsigned char t = block[p - 1];
      if (!bigDone[t]) {
        zptr[copy[t]] = p == 0 ? last : p - 1;
        ++copy[t];
      }
    }
    for (int32_t j = 0; j <= 255; ++j) {
      const int32_t sb = (j << 8) + ss;
      ftab[sb] = static_cast<int32_t>(static_cast<uint32_t>(ftab[sb]) | kBucketSorted);
    }
  }
}

// Inverts the lowest bit of the byte two before the end of each interval that rNums describes,
// from position 0 on, and rebuilds inUse from the result.
void randomiseBlock(CompressState& s) {
  for (bool& f : s.inUse) f = false;
  int32_t rNToGo = 0;
  int32_t rTPos = 0;
  for (int32_t i = 0; i <= s.last; ++i) {
    if (randomisationFlips(rNToGo, rTPos)) s.block[i] ^= 1u;
    s.inUse[s.block[i]] = true;
  }
}

int doReversibleTransformation(CompressState& s) {
  s.workDone = 0;
  s.blockRandomised = false;
  s.workLimit = s.workFactor * s.last;
  s.firstAttempt = true;
  sortIt(s);
  if (s.error != CodecError::None) return 0;

  // Only the counter is looked at: a first attempt that completed but passed the bound on its
  // last comparisons is retried as well.
  if (s.workDone > s.workLimit && s.firstAttempt) {
    randomiseBlock(s);
    s.firstAttempt = false;
    s.blockRandomised = true;
    s.workDone = 0;
    s.workLimit = 0;
    sortIt(s);
    if (s.error != CodecError::None) return 0;
  }

  for (int32_t i = 0; i <= s.last; ++i) {
    if (s.zptr[i] == 0) {
      s.origPtr = i;
      break;
    }
  }
  return 1;
}

}  // namespace zdx
