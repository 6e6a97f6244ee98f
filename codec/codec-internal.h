// Internals of the block codec, shared by its sources and reachable by the tests.
// Nothing here is part of the codec's contract: callers use codec/codec.h.
//
// All mutable state lives in a CompressState or an ExpandState, which every function takes by
// reference together with the ChunkIO, so independent compressions can run on several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codec/chunkio.h"
#include "codec/codec.h"
#include "codec/format.h"

namespace zdx {

// Constant tables (codec/tables.cpp).
extern const uint32_t crc32Table[256];
extern const int32_t rNums[kRandTableSize];

// One step of the randomisation walk over rNums, which both the compressor and the expander
// take: whether the byte at this step is flipped (the one two before the end of each interval).
inline bool randomisationFlips(int32_t& rNToGo, int32_t& rTPos) {
  if (rNToGo == 0) {
    rNToGo = rNums[rTPos];
    rTPos = (rTPos + 1) & (kRandTableSize - 1);
  }
  --rNToGo;
  return rNToGo == 1;
}
extern const int32_t incs[14];

// ---- Checksum: CRC-32, most significant bit first, polynomial 0x04C11DB7.

inline void initialiseCRC(uint32_t& globalCrc) { globalCrc = 0xFFFFFFFFu; }
inline void updateCRC(uint32_t& globalCrc, uint8_t b) {
  globalCrc = (globalCrc << 8) ^ crc32Table[(globalCrc >> 24) ^ b];
}
inline uint32_t getFinalCRC(uint32_t globalCrc) { return ~globalCrc; }
inline uint32_t combineCRC(uint32_t combined, uint32_t blockCrc) {
  return ((combined << 1) | (combined >> 31)) ^ blockCrc;
}

// ---- State.

using AllocFn = void* (*)(size_t);
using FreeFn = void (*)(void*);

// The symbol encoder writes 16-bit symbols over the 32-bit sort result it is still reading;
// this type tells the compiler that the two views share memory.
using AliasU16 = uint16_t __attribute__((__may_alias__));

// One pending range of the quicksort: entries lo..hi of zptr that agree in their first d bytes.
struct QsRange {
  int32_t lo, hi, d;
};

// The byte-value maps and selectors, built the same way by both sides.
struct SymbolMaps {
  bool inUse[256] = {};
  int32_t nInUse = 0;
  uint8_t seqToUnseq[256] = {};
  uint8_t unseqToSeq[256] = {};
  uint8_t selector[kMaxSelectors] = {};
  uint8_t selectorMtf[kMaxSelectors] = {};
};

struct CompressState : SymbolMaps {
  // Work areas, obtained by allocateCompressStructures and released by FreeAll.
  unsigned char* blockX = nullptr;  // the buffer as obtained; block = blockX + 1
  unsigned char* block = nullptr;   // block[-1] .. block[last + 20] are valid
  uint16_t* quadrant = nullptr;     // order numbers of positions, tie-breaks of long comparisons
  int32_t* zptr = nullptr;          // sorted rotation starts
  AliasU16* szptr = nullptr;        // the block's symbols, over the memory of zptr
  int32_t* ftab = nullptr;          // pair counts, then small-bucket starts and sorted flags
  QsRange* qsStack = nullptr;       // pending ranges of qSort3; grows when full
  int32_t qsStackSize = 0;          // entries qsStack can hold
  int32_t qsStackHighWater = 0;     // most ranges ever pending at once during this compression

  int32_t last = -1;  // index of the block's last byte; -1 while empty

  // Symbol encoding.
  int32_t nMTF = 0;
  int32_t mtfFreq[kMaxAlphaSize] = {};
  uint8_t len[kMaxTables][kMaxAlphaSize] = {};
  int32_t code[kMaxTables][kMaxAlphaSize] = {};
  int32_t rfreq[kMaxTables][kMaxAlphaSize] = {};

  // Sorting.
  int32_t origPtr = 0;
  int32_t workFactor = kWorkFactor;
  int32_t workLimit = 0;
  // Effort spent by the current attempt. Wider than the limit it is compared with, so the
  // unbounded second attempt cannot overflow it.
  int64_t workDone = 0;
  bool firstAttempt = false;
  bool blockRandomised = false;

  // Checksums.
  uint32_t globalCrc = 0;
  uint32_t combinedCRC = 0;

  // Bit writer: pending bits left-aligned in bsBuff.
  uint32_t bsBuff = 0;
  int32_t bsLive = 0;
  bool bsWriting = false;

  CodecError error = CodecError::None;
  // Where the work areas come from; tests replace these to refuse memory.
  AllocFn pfnAlloc = std::malloc;
  FreeFn pfnFree = std::free;
};

inline constexpr int kLutBits = 10;
inline constexpr uint16_t kLutLonger = 0;
inline constexpr uint16_t kLutNoCode = 31;

struct ExpandState : SymbolMaps {
  // Work areas, obtained by setDecompressStructureSizes.
  uint8_t* ll8 = nullptr;  // the decoded transformed sequence
  // The inverse transform's links: entry k holds the next position << 8 | ll8[k], so each step
  // of the walk is one load (positions are below 2^24).
  uint32_t* tt = nullptr;

  int32_t last = -1;
  int32_t origPtr = 0;
  int32_t unzftab[256] = {};
  int32_t nSelectors = 0;

  // Decoding tables; entries 0..kMaxDecodeLen of limit and base are used.
  uint8_t len[kMaxTables][kMaxAlphaSize] = {};
  int32_t limit[kMaxTables][kMaxAlphaSize] = {};
  int32_t base[kMaxTables][kMaxAlphaSize] = {};
  int32_t perm[kMaxTables][kMaxAlphaSize] = {};
  int32_t minLens[kMaxTables] = {};
  int32_t maxLens[kMaxTables] = {};  // a code search never goes beyond its table's longest code
  // The outcome of the code search for each pattern of the next kLutBits bits, per table:
  // symbol << 5 | code length, kLutLonger when the code is longer, kLutNoCode when no code fits.
  uint16_t lut[kMaxTables][1 << kLutBits] = {};

  uint32_t globalCrc = 0;
  bool blockRandomised = false;
  uint32_t storedBlockCRC = 0;
  uint32_t computedBlockCRC = 0;
  uint32_t storedCombinedCRC = 0;
  uint32_t computedCombinedCRC = 0;

  // Bit reader: buffered bits right-aligned in bsBuff, the next one at bit bsLive - 1.
  uint32_t bsBuff = 0;
  int32_t bsLive = 0;

  CodecError error = CodecError::None;
  AllocFn pfnAlloc = std::malloc;
  FreeFn pfnFree = std::free;
};

// ---- Bit writer (codec/bitstream.cpp, hot part inline).

void bsSetStream(CompressState& s, uint8_t writing);

// Appends the n low bits of v (1 <= n <= 24, v < 2^n), most significant first. Whole bytes leave
// the accumulator at the start of the next write, through the unbounded putter's steps.
inline void bsW(CompressState& s, ChunkIO& io, int n, uint32_t v) {
  while (s.bsLive > 7) {
    PutChToBuff2U(io, static_cast<int>(s.bsBuff >> 24));
    s.bsBuff <<= 8;
    s.bsLive -= 8;
  }
  s.bsBuff |= v << (32 - s.bsLive - n);
  s.bsLive += n;
}

void bsPutUInt32(CompressState& s, ChunkIO& io, uint32_t v);
void bsFinishedWithStream(CompressState& s, ChunkIO& io);

// ---- Bit reader.

// Takes the next byte of the stream for the bit reader; past the end of the source the getter
// advances nothing and the reader takes 0xFF, so a truncated stream reads on as 1-bits.
inline uint32_t bsNextByte(ChunkIO& io) {
  const int c = GetChFromBuff1(io);
  return c < 0 ? 0xFFu : static_cast<uint32_t>(c);
}

// Takes the next n bits (1 <= n <= 24) as an unsigned value, fetching bytes one at a time.
inline uint32_t bsR(ExpandState& s, ChunkIO& io, int n) {
  while (s.bsLive < n) {
    s.bsBuff = (s.bsBuff << 8) | bsNextByte(io);
    s.bsLive += 8;
  }
  s.bsLive -= n;
  return (s.bsBuff >> s.bsLive) & ((1u << n) - 1u);
}

uint32_t bsGetUInt32(ExpandState& s, ChunkIO& io);

// ---- Block loading (codec/blockload.cpp).

uint32_t getRLEpair(CompressState& s, ChunkIO& io);
void loadAndRLEsource(CompressState& s, ChunkIO& io);

// ---- Block sorting (codec/blocksort.cpp).

int allocateCompressStructures(CompressState& s);
void FreeAll(CompressState& s);
// Returns 0 only when the quicksort's stack could not grow (s.error is then NoMemory).
int doReversibleTransformation(CompressState& s);
void sortIt(CompressState& s);
void qSort3(CompressState& s, int32_t lo, int32_t hi, int32_t d);
void simpleSort(CompressState& s, int32_t lo, int32_t hi, int32_t d);
bool fullGtU(CompressState& s, int32_t i1, int32_t i2);
void randomiseBlock(CompressState& s);

// ---- Symbol encoding and the compressor driver (codec/compress.cpp).

int Compress(CompressState& s, ChunkIO& io);
// Threads worth using for a source of srclen bytes: never more than it can have blocks.
unsigned compressThreadsFor(uint32_t srclen);
// Compress on nThreads workers, one work-area set each; the stream is the one Compress makes.
// Falls back to Compress when the sets are refused.
int compressParallel(CompressState& w, ChunkIO& io, unsigned nThreads);
int compressStream(CompressState& s, ChunkIO& io);
void moveToFrontCodeAndSend(CompressState& s, ChunkIO& io);
void makeMaps(SymbolMaps& m);
// The shortest and longest code length of one table over the alphabet.
inline void codeLengthRange(const uint8_t* len, int alphaSize, int& minLen, int& maxLen) {
  minLen = 32;
  maxLen = 0;
  for (int i = 0; i < alphaSize; ++i) {
    if (len[i] > maxLen) maxLen = len[i];
    if (len[i] < minLen) minLen = len[i];
  }
}
void generateMTFValues(CompressState& s);
void sendMTFValues(CompressState& s, ChunkIO& io);
void hbMakeCodeLengths(uint8_t* len, const int32_t* freq, int alphaSize, int maxLen);
void hbAssignCodes(int32_t* code, const uint8_t* length, int minLen, int maxLen, int alphaSize);

// ---- Table and symbol decoding (codec/decode.cpp).

int setDecompressStructureSizes(ExpandState& s);
void freeDecompressStructures(ExpandState& s);
// Returns 0 when the tables are not ones a reader can use safely (see docs/format.md).
int recvDecodingTables(ExpandState& s, ChunkIO& io);
void hbCreateDecodeTables(int32_t* limit, int32_t* base, int32_t* perm, const uint8_t* length,
                          int minLen, int maxLen, int alphaSize);
int getAndMoveToFrontDecode(ExpandState& s, ChunkIO& io);

// ---- Inverse transform and the expander driver (codec/expand.cpp).

int Extract(ExpandState& s, ChunkIO& io);
int undoReversibleTransformation_fast(ExpandState& s, ChunkIO& io);
// The inverse transform's links of a decoded block.
void buildLinks(uint32_t* tt, const uint8_t* ll8, const int32_t* unzftab, int32_t last);
// Extract on nThreads threads, the calling thread among them; the same output and outcome.
// Falls back to Extract when its threads or work memory are refused.
int extractParallel(ExpandState& s, ChunkIO& io, unsigned nThreads);

}  // namespace zdx
