// Every constant of the .zdx container and of its compressed stream, defined once.
// docs/format.md describes the format in words; this header is its single source in code.
#pragma once

#include <cstdint>

namespace zdx {

// Chunk transport: every byte of a job passes through two buffers of this size.
// It is a multiple of 2, 3 and 4, so no filter sample ever straddles two chunks.
inline constexpr uint32_t kChunkSize = 0x30000;  // 196,608

// Container header.
inline constexpr char kMagic[4] = {'Z', 'D', 'X', '1'};
inline constexpr uint32_t kHeaderFixedSize = 14;   // + length of the stored extension
inline constexpr uint32_t kMaxStoredExt = 127;     // characters, without terminator
inline constexpr uint32_t kPathMax = 260;          // path buffer, terminator included
inline constexpr unsigned kMaxFilterMode = 5;      // 0 and 1 mean "no filter"
inline constexpr char kContainerExt[] = "zdx";

// Filter selection: each mode is tried on at most this many leading bytes.
inline constexpr uint32_t kTrialLength = 0x20000;  // 131,072
inline constexpr unsigned kFirstTrialMode = 1;
inline constexpr unsigned kLastTrialMode = 5;

// Stream.
inline constexpr uint8_t kBlockMarker[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
inline constexpr uint8_t kEndMarker[6] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
inline constexpr int32_t kBlockLoadLimit = 899980;  // loading stops once `last` reaches this
inline constexpr int32_t kMaxCodedBlock = 900000;   // bytes of run-length form a reader accepts
inline constexpr int32_t kOvershoot = 20;           // bytes copied past the block end for the sort
inline constexpr int32_t kSmallBlockLast = 3999;    // blocks up to last = 3999 are Shell-sorted whole
inline constexpr int32_t kWorkFactor = 150;
inline constexpr int kMaxRun = 255;
inline constexpr int kGroupSize = 50;
inline constexpr int kMaxTables = 6;
inline constexpr int kMaxAlphaSize = 258;
inline constexpr int kMaxCodeLen = 20;
inline constexpr int kMaxSelectors = 2 + kMaxCodedBlock / kGroupSize;  // 18,002
inline constexpr int kRefinementPasses = 4;

// Reader limits beyond the writer's range: a stream may use 1 to 6 tables; the writer uses 2, 4, 6.
inline constexpr int kMinTables = 1;
inline constexpr int kMinCodeLen = 1;
inline constexpr int kRunA = 0;                       // zero-run digit of value 1
inline constexpr int kRunB = 1;                       // zero-run digit of value 2
inline constexpr int kRandTableSize = 512;            // entries of the randomisation table
inline constexpr int kMaxDecodeLen = 22;              // decoding arrays use entries 0..22

// Compressor work areas and tuning. The tuning values decide where blocks are sorted, randomised
// and how tables are built, so they shape the output bytes: change one and the stream changes.
inline constexpr int32_t kBlockBufferSize = kMaxCodedBlock + 21;  // block[-1] .. block[900019]
inline constexpr int32_t kQuadrantEntries = kMaxCodedBlock + 20;
inline constexpr int32_t kZptrEntries = kMaxCodedBlock;
inline constexpr int32_t kFtabEntries = 65537;
inline constexpr uint32_t kBucketSorted = 1u << 21;   // ftab flag: this small bucket is sorted
inline constexpr int32_t kQuadrantMaxOrder = 65534;   // a big bucket's order numbers stay below
inline constexpr int kQsortSmall = 20;                // ranges below this go to the Shell sort
inline constexpr int kQsortMaxDepth = 10;             // ... and so do ranges deeper than this
inline constexpr int kQsortStackInitial = 1000;       // pending ranges held before the stack grows
inline constexpr int kTwoTablesBelow = 200;           // nMTF < 200: 2 tables; < 800: 4; else 6
inline constexpr int kFourTablesBelow = 800;
inline constexpr int kLesserIcost = 0;                // initial cost inside / outside a range
inline constexpr int kGreaterIcost = 15;

}  // namespace zdx
