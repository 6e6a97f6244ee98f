// Table and symbol decoding: reads a block's maps, tables and selectors and turns its coded
// symbols back into the transformed sequence in ll8, counting every byte value on the way.
//
// The input may be hostile. Every field is checked before it is used as an index or a bound, and
// every loop that counts bits fails at a fixed limit, since a stream that has run out reads on as
// 1-bits for ever.
#include <cstring>

#include "codec/codec-internal.h"

namespace zdx {

int setDecompressStructureSizes(ExpandState& s) {
  s.tt = nullptr;
  s.ll8 = static_cast<uint8_t*>(s.pfnAlloc(sizeof(uint8_t) * kMaxCodedBlock));
  if (s.ll8 != nullptr)
    s.tt = static_cast<uint32_t*>(s.pfnAlloc(sizeof(uint32_t) * kMaxCodedBlock));
  if (s.ll8 == nullptr || s.tt == nullptr) {
    freeDecompressStructures(s);
    return 0;
  }
  return 1;
}

void freeDecompressStructures(ExpandState& s) {
  if (s.ll8 != nullptr) s.pfnFree(s.ll8);
  if (s.tt != nullptr) s.pfnFree(s.tt);
  s.ll8 = nullptr;
  s.tt = nullptr;
}

namespace {

// Fills a table's lookup: for every pattern of kLutBits bits, the result of the code search of
// getAndMoveToFrontDecode run on those bits, so that a lookup decodes exactly as the search.
void buildLookup(uint16_t* lut, const int32_t* limit, const int32_t* base, const int32_t* perm,
                 int minLen, int maxLen, int alphaSize) {
  for (int32_t p = 0; p < (1 << kLutBits); ++p) {
    uint16_t entry = kLutLonger;
    for (int n = minLen; n <= kLutBits; ++n) {
      if (n > maxLen) {
        entry = kLutNoCode;
        break;
      }
      const int32_t code = p >> (kLutBits - n);
      if (code <= limit[n]) {
        const int32_t idx = code - base[n];
        entry =
            (idx < 0 || idx >= alphaSize) ? kLutNoCode : static_cast<uint16_t>(perm[idx] << 5 | n);
        break;
      }
    }
    lut[p] = entry;
  }
}

}  // namespace

// With canonical codes a code of length i is at most limit[i], and its symbol is
// perm[code - base[i]].
void hbCreateDecodeTables(int32_t* limit, int32_t* base, int32_t* perm, const uint8_t* length,
                          int minLen, int maxLen, int alphaSize) {
  int32_t pp = 0;
  for (int i = minLen; i <= maxLen; ++i) {
    for (int j = 0; j < alphaSize; ++j) {
      if (length[j] == i) perm[pp++] = j;
    }
  }
  for (int i = 0; i <= kMaxDecodeLen; ++i) base[i] = 0;
  for (int i = 0; i < alphaSize; ++i) ++base[length[i] + 1];
  for (int i = 1; i <= kMaxDecodeLen; ++i) base[i] += base[i - 1];

  for (int i = 0; i <= kMaxDecodeLen; ++i) limit[i] = 0;
  int32_t vec = 0;
  for (int i = minLen; i <= maxLen; ++i) {
    vec += base[i + 1] - base[i];
    limit[i] = vec - 1;
    vec <<= 1;
  }
  for (int i = minLen + 1; i <= maxLen; ++i) base[i] = ((limit[i - 1] + 1) << 1) - base[i];
}

int recvDecodingTables(ExpandState& s, ChunkIO& io) {
  bool inUse16[16];
  for (bool& f : inUse16) f = bsR(s, io, 1) == 1;
  for (bool& f : s.inUse) f = false;
  for (int i = 0; i < 16; ++i) {
    if (!inUse16[i]) continue;
    for (int j = 0; j < 16; ++j) {
      if (bsR(s, io, 1) == 1) s.inUse[i * 16 + j] = true;
    }
  }
  makeMaps(s);
  if (s.nInUse == 0) return 0;  // a block holds at least one byte
  const int alphaSize = s.nInUse + 2;

  const int nGroups = static_cast<int>(bsR(s, io, 3));
  if (nGroups < kMinTables || nGroups > kMaxTables) return 0;
  s.nSelectors = static_cast<int32_t>(bsR(s, io, 15));
  if (s.nSelectors < 1 || s.nSelectors > kMaxSelectors) return 0;

  for (int32_t i = 0; i < s.nSelectors; ++i) {
    int j = 0;
    while (bsR(s, io, 1) == 1) {
      if (++j >= nGroups) return 0;
    }
    s.selectorMtf[i] = static_cast<uint8_t>(j);
  }
  {
    uint8_t pos[kMaxTables];
    for (int v = 0; v < nGroups; ++v) pos[v] = static_cast<uint8_t>(v);
    for (int32_t i = 0; i < s.nSelectors; ++i) {
      int v = s.selectorMtf[i];
      const uint8_t tmp = pos[v];
      while (v > 0) {
        pos[v] = pos[v - 1];
        --v;
      }
      pos[0] = tmp;
      s.selector[i] = tmp;
    }
  }

  // A length leaving 1..kMaxCodeLen fails at once, which also bounds the adjustment loop.
  for (int t = 0; t < nGroups; ++t) {
    int curr = static_cast<int>(bsR(s, io, 5));
    for (int i = 0; i < alphaSize; ++i) {
      for (;;) {
        if (curr < kMinCodeLen || curr > kMaxCodeLen) return 0;
        if (bsR(s, io, 1) == 0) break;
        curr += bsR(s, io, 1) == 0 ? 1 : -1;
      }
      s.len[t][i] = static_cast<uint8_t>(curr);
    }
  }

  for (int t = 0; t < nGroups; ++t) {
    int minLen, maxLen;
    codeLengthRange(s.len[t], alphaSize, minLen, maxLen);
    hbCreateDecodeTables(s.limit[t], s.base[t], s.perm[t], s.len[t], minLen, maxLen, alphaSize);
    s.minLens[t] = minLen;
    s.maxLens[t] = maxLen;
    buildLookup(s.lut[t], s.limit[t], s.base[t], s.perm[t], minLen, maxLen, alphaSize);
  }
  return 1;
}

int getAndMoveToFrontDecode(ExpandState& s, ChunkIO& io) {
  s.origPtr = static_cast<int32_t>(bsR(s, io, 24));
  if (!recvDecodingTables(s, io)) return 0;

  const int alphaSize = s.nInUse + 2;
  const int EOB = s.nInUse + 1;
  constexpr int32_t kLastMax = kMaxCodedBlock - 1;
  uint8_t* const ll8 = s.ll8;

  uint8_t yy[256];
  for (int i = 0; i < 256; ++i) yy[i] = static_cast<uint8_t>(i);
  for (int32_t& n : s.unzftab) n = 0;

  // The bit reader's state lives in locals for the loop: the byte stores into ll8 may alias
  // anything, which would otherwise force a reload of the state at every bit.
  uint32_t bsBuff = s.bsBuff;
  int32_t bsLive = s.bsLive;
  auto getBits = [&](int n) {
    while (bsLive < n) {
      bsBuff = (bsBuff << 8) | bsNextByte(io);
      bsLive += 8;
    }
    bsLive -= n;
    return static_cast<int32_t>((bsBuff >> bsLive) & ((1u << n) - 1u));
  };

  // The table of the current group, and the symbols left in the group.
  int32_t groupNo = -1;
  int32_t groupPos = 0;
  const uint16_t* gLut = nullptr;
  const int32_t* gLimit = nullptr;
  const int32_t* gBase = nullptr;
  const int32_t* gPerm = nullptr;
  int gMinLen = 0;
  int gMaxLen = 0;
  // The next symbol, or -1 when the groups outrun the selectors or a code matches no symbol.
  // The next kLutBits bits settle most codes in one lookup; a longer code goes on bit by bit.
  // Looking ahead never reads past the stream: a block's last code is followed by a marker.
  auto getSym = [&]() -> int {
    if (groupPos == 0) {
      if (++groupNo >= s.nSelectors) return -1;
      groupPos = kGroupSize;
      const int t = s.selector[groupNo];
      gLut = s.lut[t];
      gLimit = s.limit[t];
      gBase = s.base[t];
      gPerm = s.perm[t];
      gMinLen = s.minLens[t];
      gMaxLen = s.maxLens[t];
    }
    --groupPos;
    while (bsLive < kLutBits) {
      bsBuff = (bsBuff << 8) | bsNextByte(io);
      bsLive += 8;
    }
    const uint32_t peek = (bsBuff >> (bsLive - kLutBits)) & ((1u << kLutBits) - 1u);
    const uint16_t entry = gLut[peek];
    const int len = entry & 31;
    if (len == kLutNoCode) return -1;
    if (len != kLutLonger) {
      bsLive -= len;
      return entry >> 5;
    }
    // Longer than the lookup: the search goes on from the lookup's bits, or starts at the
    // table's shortest length when even that is longer.
    bsLive -= kLutBits;
    int n = kLutBits;
    auto code = static_cast<int32_t>(peek);
    for (; n < gMinLen; ++n) code = (code << 1) | getBits(1);
    while (code > gLimit[n]) {
      if (++n > gMaxLen) return -1;
      code = (code << 1) | getBits(1);
    }
    const int32_t idx = code - gBase[n];
    if (idx < 0 || idx >= alphaSize) return -1;
    return gPerm[idx];
  };

  int32_t last = -1;
  const int result = [&] {
    int sym = getSym();
    if (sym < 0) return 0;
    for (;;) {
      if (sym == EOB) return 1;

      if (sym == kRunA || sym == kRunB) {
        // Run digits in bijective base 2, least significant first. The sum only grows, so a
        // run that would pass the block's end fails here, before the weight can overflow.
        int32_t es = -1;
        int32_t weight = 1;
        do {
          es += sym == kRunA ? weight : 2 * weight;
          if (es >= kMaxCodedBlock) return 0;
          weight <<= 1;
          sym = getSym();
          if (sym < 0) return 0;
        } while (sym == kRunA || sym == kRunB);
        ++es;
        if (last + es > kLastMax) return 0;
        const uint8_t uc = s.seqToUnseq[yy[0]];
        s.unzftab[uc] += es;
        std::memset(ll8 + last + 1, uc, static_cast<size_t>(es));
        last += es;
        continue;
      }

      if (++last > kLastMax) return 0;
      // Move entry m of the list to the front; m is 1 .. nInUse - 1.
      int m = sym - 1;
      const uint8_t tmp = yy[m];
      for (; m > 3; m -= 4) {
        yy[m] = yy[m - 1];
        yy[m - 1] = yy[m - 2];
        yy[m - 2] = yy[m - 3];
        yy[m - 3] = yy[m - 4];
      }
      for (; m > 0; --m) yy[m] = yy[m - 1];
      yy[0] = tmp;
      const uint8_t uc = s.seqToUnseq[tmp];
      ++s.unzftab[uc];
      ll8[last] = uc;
      sym = getSym();
      if (sym < 0) return 0;
    }
  }();
  s.bsBuff = bsBuff;
  s.bsLive = bsLive;
  s.last = last;
  // The inverse transform starts at tt[origPtr]; this also rejects a block of no bytes.
  return result == 1 && s.origPtr <= last ? 1 : 0;
}

}  // namespace zdx
