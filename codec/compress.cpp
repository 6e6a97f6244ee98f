// Symbol encoding and the compressor driver: each sorted block is move-to-front coded, its zero
// runs spelled in run digits, and the symbols coded with 2, 4 or 6 Huffman tables, one chosen per
// group of kGroupSize symbols and refined over kRefinementPasses passes.
#include <algorithm>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "codec/codec-internal.h"
#include "codec/parallel.h"

namespace zdx {

void makeMaps(SymbolMaps& m) {
  m.nInUse = 0;
  for (int v = 0; v < 256; ++v) {
    if (m.inUse[v]) {
      m.seqToUnseq[m.nInUse] = static_cast<uint8_t>(v);
      m.unseqToSeq[v] = static_cast<uint8_t>(m.nInUse);
      ++m.nInUse;
    }
  }
}

// Builds the block's symbols in szptr while reading zptr, which shares its memory: at most one
// symbol has been written per entry read, so a write never reaches an entry still to be read.
void generateMTFValues(CompressState& s) {
  makeMaps(s);
  const int32_t EOB = s.nInUse + 1;
  for (int32_t i = 0; i <= EOB; ++i) s.mtfFreq[i] = 0;

  uint8_t yy[256];
  for (int32_t i = 0; i < s.nInUse; ++i) yy[i] = static_cast<uint8_t>(i);

  const unsigned char* const block = s.block;
  const int32_t* const zptr = s.zptr;
  AliasU16* const szptr = s.szptr;
  int32_t* const mtfFreq = s.mtfFreq;
  int32_t wr = 0;
  int32_t zPend = 0;

  auto emit = [&](int32_t x) {
    szptr[wr++] = static_cast<uint16_t>(x);
    ++mtfFreq[x];
  };
  // A run of z zero positions in bijective base 2, least significant digit first.
  auto emitRun = [&](int32_t z) {
    --z;
    for (;;) {
      emit(z & 1 ? kRunB : kRunA);
      if (z < 2) break;
      z = (z - 2) / 2;
    }
  };

  for (int32_t i = 0; i <= s.last; ++i) {
    const int32_t p = zptr[i];
    const uint8_t ll_i = s.unseqToSeq[block[p - 1]];  // block[-1] is the last byte
    // Find ll_i and shift the entries before it back by one as we go.
    int32_t j = 0;
    uint8_t tmp = yy[0];
    while (ll_i != tmp) {
      ++j;
      const uint8_t tmp2 = tmp;
      tmp = yy[j];
      yy[j] = tmp2;
    }
    yy[0] = tmp;

    if (j == 0) {
      ++zPend;
    } else {
      if (zPend > 0) {
        emitRun(zPend);
        zPend = 0;
      }
      emit(j + 1);
    }
  }
  if (zPend > 0) emitRun(zPend);
  emit(EOB);
  s.nMTF = wr;
}

// Fills len[0..alphaSize-1] with Huffman code lengths for the frequencies, none above maxLen.
// The frequencies are a block's symbol counts, so together they stay far below 2^23 and the
// packed weights below fit in 32 bits.
// A weight is frequency << 8 | subtree depth, so of two equal frequencies the shallower subtree
// is merged first. When a code is too long every frequency but the last is halved and the tree
// is built again.
void hbMakeCodeLengths(uint8_t* len, const int32_t* freq, int alphaSize, int maxLen) {
  int32_t heap[kMaxAlphaSize + 2];
  int32_t weight[kMaxAlphaSize * 2];
  int32_t parent[kMaxAlphaSize * 2];

  for (int i = 0; i < alphaSize; ++i) weight[i + 1] = (freq[i] == 0 ? 1 : freq[i]) << 8;

  auto addWeights = [](int32_t a, int32_t b) {
    const int32_t depth = 1 + std::max(a & 0xFF, b & 0xFF);
    return static_cast<int32_t>((static_cast<uint32_t>(a) & 0xFFFFFF00u) +
                                (static_cast<uint32_t>(b) & 0xFFFFFF00u)) |
           depth;
  };

  for (;;) {
    int32_t nNodes = alphaSize;
    int32_t nHeap = 0;
    heap[0] = 0;
    weight[0] = 0;
    parent[0] = -2;

    // Sift up only while strictly lighter than the parent; the sentinel of weight 0 stops it.
    auto upHeap = [&](int32_t z) {
      const int32_t tmp = heap[z];
      while (weight[tmp] < weight[heap[z >> 1]]) {
        heap[z] = heap[z >> 1];
        z >>= 1;
      }
      heap[z] = tmp;
    };
    // Take the right child only when strictly lighter; stop when strictly lighter than the child.
    auto downHeap = [&](int32_t z) {
      const int32_t tmp = heap[z];
      for (;;) {
        int32_t yy = z << 1;
        if (yy > nHeap) break;
        if (yy < nHeap && weight[heap[yy + 1]] < weight[heap[yy]]) ++yy;
        if (weight[tmp] < weight[heap[yy]]) break;
        heap[z] = heap[yy];
        z = yy;
      }
      heap[z] = tmp;
    };

    for (int32_t i = 1; i <= alphaSize; ++i) {
      parent[i] = -1;
      heap[++nHeap] = i;
      upHeap(nHeap);
    }
    while (nHeap > 1) {
      const int32_t n1 = heap[1];
      heap[1] = heap[nHeap--];
      downHeap(1);
      const int32_t n2 = heap[1];
      heap[1] = heap[nHeap--];
      downHeap(1);
      ++nNodes;
      parent[n1] = parent[n2] = nNodes;
      weight[nNodes] = addWeights(weight[n1], weight[n2]);
      parent[nNodes] = -1;
      heap[++nHeap] = nNodes;
      upHeap(nHeap);
    }

    bool tooLong = false;
    for (int32_t i = 1; i <= alphaSize; ++i) {
      int32_t j = 0;
      int32_t k = i;
      while (parent[k] >= 0) {
        k = parent[k];
        ++j;
      }
      len[i - 1] = static_cast<uint8_t>(j);
      if (j > maxLen) tooLong = true;
    }
    if (!tooLong) break;

    // The last symbol, the end of block, occurs at most once per table and keeps its weight.
    for (int32_t i = 1; i < alphaSize; ++i) {
      const int32_t j = weight[i] >> 8;
      weight[i] = (1 + j / 2) << 8;
    }
  }
}

// Canonical codes: shorter codes first, and within one length in increasing symbol order.
void hbAssignCodes(int32_t* code, const uint8_t* length, int minLen, int maxLen, int alphaSize) {
  int32_t vec = 0;
  for (int n = minLen; n <= maxLen; ++n) {
    for (int i = 0; i < alphaSize; ++i) {
      if (length[i] == n) code[i] = vec++;
    }
    vec <<= 1;
  }
}

void sendMTFValues(CompressState& s, ChunkIO& io) {
  const int alphaSize = s.nInUse + 2;
  const int32_t nMTF = s.nMTF;
  const AliasU16* const szptr = s.szptr;

  for (auto& row : s.len) {
    for (int v = 0; v < alphaSize; ++v) row[v] = kGreaterIcost;
  }

  int nGroups;
  if (nMTF < kTwoTablesBelow) {
    nGroups = 2;
  } else if (nMTF < kFourTablesBelow) {
    nGroups = 4;
  } else {
    nGroups = 6;
  }

  // Initial tables: contiguous symbol ranges of about equal counts.
  {
    int nPart = nGroups;
    int32_t remF = nMTF;
    int gs = 0;
    while (nPart > 0) {
      const int32_t tFreq = remF / nPart;
      int ge = gs - 1;
      int32_t aFreq = 0;
      while (aFreq < tFreq && ge < alphaSize - 1) {
        ++ge;
        aFreq += s.mtfFreq[ge];
      }
      if (ge > gs && nPart != nGroups && nPart != 1 && ((nGroups - nPart) % 2 == 1)) {
        aFreq -= s.mtfFreq[ge];
        --ge;
      }
      for (int v = 0; v < alphaSize; ++v) {
        s.len[nPart - 1][v] = (v >= gs && v <= ge) ? kLesserIcost : kGreaterIcost;
      }
      --nPart;
      gs = ge + 1;
      remF -= aFreq;
    }
  }

  // Refinement: choose each group's cheapest table, then rebuild the tables from their groups.
  int32_t nSelectors = 0;
  for (int iter = 0; iter < kRefinementPasses; ++iter) {
    for (int t = 0; t < nGroups; ++t) {
      for (int v = 0; v < alphaSize; ++v) s.rfreq[t][v] = 0;
    }
    nSelectors = 0;
    int32_t gs = 0;
    while (gs < nMTF) {
      int32_t ge = gs + kGroupSize - 1;
      if (ge >= nMTF) ge = nMTF - 1;

      int32_t cost[kMaxTables] = {};
      for (int32_t i = gs; i <= ge; ++i) {
        const uint16_t icv = szptr[i];
        for (int t = 0; t < nGroups; ++t) cost[t] += s.len[t][icv];
      }
      // Lowest table number on a tie.
      int32_t bc = 999999999;
      int bt = -1;
      for (int t = 0; t < nGroups; ++t) {
        if (cost[t] < bc) {
          bc = cost[t];
          bt = t;
        }
      }
      s.selector[nSelectors++] = static_cast<uint8_t>(bt);
      for (int32_t i = gs; i <= ge; ++i) ++s.rfreq[bt][szptr[i]];
      gs = ge + 1;
    }
    for (int t = 0; t < nGroups; ++t)
      hbMakeCodeLengths(s.len[t], s.rfreq[t], alphaSize, kMaxCodeLen);
  }

  // Move-to-front of the selectors.
  {
    uint8_t pos[kMaxTables];
    for (int i = 0; i < nGroups; ++i) pos[i] = static_cast<uint8_t>(i);
    for (int32_t i = 0; i < nSelectors; ++i) {
      const uint8_t ll_i = s.selector[i];
      int j = 0;
      uint8_t tmp = pos[0];
      while (ll_i != tmp) {
        ++j;
        const uint8_t tmp2 = tmp;
        tmp = pos[j];
        pos[j] = tmp2;
      }
      pos[0] = tmp;
      s.selectorMtf[i] = static_cast<uint8_t>(j);
    }
  }

  for (int t = 0; t < nGroups; ++t) {
    int minLen, maxLen;
    codeLengthRange(s.len[t], alphaSize, minLen, maxLen);
    hbAssignCodes(s.code[t], s.len[t], minLen, maxLen, alphaSize);
  }

  // The byte maps: which groups of 16 values are in use, then the values of each such group.
  {
    bool inUse16[16];
    for (int i = 0; i < 16; ++i) {
      inUse16[i] = false;
      for (int j = 0; j < 16; ++j) inUse16[i] = inUse16[i] || s.inUse[i * 16 + j];
    }
    for (int i = 0; i < 16; ++i) bsW(s, io, 1, inUse16[i] ? 1 : 0);
    for (int i = 0; i < 16; ++i) {
      if (!inUse16[i]) continue;
      for (int j = 0; j < 16; ++j) bsW(s, io, 1, s.inUse[i * 16 + j] ? 1 : 0);
    }
  }

  bsW(s, io, 3, static_cast<uint32_t>(nGroups));
  bsW(s, io, 15, static_cast<uint32_t>(nSelectors));
  for (int32_t i = 0; i < nSelectors; ++i) {
    for (int j = 0; j < s.selectorMtf[i]; ++j) bsW(s, io, 1, 1);
    bsW(s, io, 1, 0);
  }

  // Code lengths: a starting value, then per symbol steps of "10" (up) or "11" (down) and a 0.
  for (int t = 0; t < nGroups; ++t) {
    int curr = s.len[t][0];
    bsW(s, io, 5, static_cast<uint32_t>(curr));
    for (int i = 0; i < alphaSize; ++i) {
      while (curr < s.len[t][i]) {
        bsW(s, io, 2, 2);
        ++curr;
      }
      while (curr > s.len[t][i]) {
        bsW(s, io, 2, 3);
        --curr;
      }
      bsW(s, io, 1, 0);
    }
  }

  // The symbols, each group with its selected table.
  int32_t selCtr = 0;
  int32_t gs = 0;
  while (gs < nMTF) {
    int32_t ge = gs + kGroupSize - 1;
    if (ge >= nMTF) ge = nMTF - 1;
    const uint8_t* const tLen = s.len[s.selector[selCtr]];
    const int32_t* const tCode = s.code[s.selector[selCtr]];
    for (int32_t i = gs; i <= ge; ++i) {
      const uint16_t sym = szptr[i];
      bsW(s, io, tLen[sym], static_cast<uint32_t>(tCode[sym]));
    }
    gs = ge + 1;
    ++selCtr;
  }
}

void moveToFrontCodeAndSend(CompressState& s, ChunkIO& io) {
  bsW(s, io, 24, static_cast<uint32_t>(s.origPtr));
  generateMTFValues(s);
  sendMTFValues(s, io);
}

namespace {

// A block starts with its marker, its CRC and the randomised flag.
void writeBlockHeader(CompressState& s, ChunkIO& io, uint32_t blockCRC) {
  for (const uint8_t b : kBlockMarker) bsW(s, io, 8, b);
  bsPutUInt32(s, io, blockCRC);
  bsW(s, io, 1, s.blockRandomised ? 1 : 0);
}

// Ends the stream after its last block: end marker, combined CRC and the padding of the last
// byte. Returns 0 with Io when a refill or flush has failed on the way.
int finishStream(CompressState& s, ChunkIO& io) {
  if (!io.bFailed) {
    for (const uint8_t b : kEndMarker) bsW(s, io, 8, b);
    bsPutUInt32(s, io, s.combinedCRC);
    bsFinishedWithStream(s, io);
  }
  if (io.bFailed) {
    s.error = CodecError::Io;
    return 0;
  }
  return 1;
}

}  // namespace

int compressStream(CompressState& s, ChunkIO& io) {
  bsSetStream(s, 1);
  s.combinedCRC = 0;

  for (;;) {
    if (io.bFailed) break;
    initialiseCRC(s.globalCrc);
    loadAndRLEsource(s, io);
    if (io.bFailed || s.last == -1) break;

    const uint32_t blockCRC = getFinalCRC(s.globalCrc);
    s.combinedCRC = combineCRC(s.combinedCRC, blockCRC);

    if (!doReversibleTransformation(s)) return 0;

    writeBlockHeader(s, io, blockCRC);
    moveToFrontCodeAndSend(s, io);
  }
  return finishStream(s, io);
}

int Compress(CompressState& s, ChunkIO& io) {
  io.b_unget = false;
  s.error = CodecError::None;
  s.workFactor = kWorkFactor;
  if (!allocateCompressStructures(s)) {  // leaves nothing allocated
    s.error = CodecError::NoMemory;
    return 0;
  }
  const int ok = compressStream(s, io);
  FreeAll(s);
  return ok;
}

// ---- Several blocks at once.
//
// The calling thread loads the blocks in order (source reads, run-length form and block checksum
// stay sequential) and hands each to a free work-area set, a worker sorts and codes the block into
// bytes of its own, and the calling thread appends those bits to the stream in block order.
// Blocks are not byte-aligned, so each coded block is made as if it started at bit 0 and joined
// bit by bit: the stream is the same as the one-thread stream.

namespace {

// Source bytes that always fill a block: a block is cut once its run-length form passes
// kBlockLoadLimit, and that form takes at most 5 bytes per 4 source bytes.
constexpr uint32_t kMinSourcePerBlock = (static_cast<uint32_t>(kBlockLoadLimit) + 1) * 4 / 5;

struct BlockJob;

// A block's coded bytes. They go into the quadrant's memory, which sorting no longer needs, one
// chunk after another; only a block coded larger than that memory (which real blocks never are)
// continues in an overflow vector.
struct BlockOut : ChunkIO {
  unsigned char* region = nullptr;
  uint32_t nSlots = 0;     // chunks the region holds
  uint32_t nFull = 0;      // region chunks filled, in order
  std::vector<unsigned char> overflow;  // full chunks after them, all passed through the last slot
  bool bNoMemory = false;

  void Start(unsigned char* memory, size_t bytes) {
    region = memory;
    nSlots = static_cast<uint32_t>(bytes / kChunkSize);
    nFull = 0;
    overflow.clear();
    bNoMemory = false;
    pbuff2 = region;
    ibuff2 = 0;
    dstcur = 0;
    pfnWriteDst = &Flush;
  }
  static void Flush(ChunkIO& io) {
    auto& o = static_cast<BlockOut&>(io);
    if (o.nFull + 1 < o.nSlots) {
      ++o.nFull;
      o.pbuff2 = o.region + size_t{o.nFull} * kChunkSize;
    } else {
      try {
        o.overflow.insert(o.overflow.end(), o.pbuff2, o.pbuff2 + kChunkSize);
      } catch (const std::bad_alloc&) {
        o.bNoMemory = true;
      }
    }
    o.ibuff2 = 0;
  }
};

struct BlockJob {
  CompressState s;
  BlockOut out;
  uint32_t blockCRC = 0;
  int ok = 0;
  Task task;
};

// On a worker: sorts the loaded block and codes it, header included, into job.out.
void codeBlock(void* arg) {
  BlockJob& job = *static_cast<BlockJob*>(arg);
  CompressState& s = job.s;
  job.ok = doReversibleTransformation(s);
  if (!job.ok) return;
  static_assert(sizeof(uint16_t) * kQuadrantEntries >= 2 * kChunkSize);
  job.out.Start(reinterpret_cast<unsigned char*>(s.quadrant), sizeof(uint16_t) * kQuadrantEntries);
  bsSetStream(s, 1);
  writeBlockHeader(s, job.out, job.blockCRC);
  moveToFrontCodeAndSend(s, job.out);
  if (job.out.bNoMemory) {
    s.error = CodecError::NoMemory;
    job.ok = 0;
  }
}

void appendBytes(CompressState& w, ChunkIO& io, const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) bsW(w, io, 8, p[i]);
}

// On the calling thread: appends a coded block's bits to the stream.
void appendBlock(CompressState& w, ChunkIO& io, BlockJob& job) {
  const BlockOut& o = job.out;
  appendBytes(w, io, o.region, size_t{o.nFull} * kChunkSize);
  appendBytes(w, io, o.overflow.data(), o.overflow.size());
  appendBytes(w, io, o.pbuff2, o.ibuff2);
  CompressState& s = job.s;
  while (s.bsLive >= 8) {
    bsW(w, io, 8, s.bsBuff >> 24);
    s.bsBuff <<= 8;
    s.bsLive -= 8;
  }
  if (s.bsLive > 0) bsW(w, io, s.bsLive, s.bsBuff >> (32 - s.bsLive));
}

// The work-area sets, obtained together so that a refusal leaves nothing behind, and the block
// buffer of `ahead`, which loads the next block while every set is busy. When a set comes free,
// the loaded buffer and the set's buffer trade places, so a worker never waits for a load.
struct JobSet {
  std::unique_ptr<BlockJob[]> jobs;
  unsigned n = 0;
  CompressState ahead;
  ~JobSet() { Release(); }
  void Release() {
    for (unsigned i = 0; i < n; ++i) FreeAll(jobs[i].s);
    FreeAll(ahead);
    jobs.reset();
    n = 0;
  }
  bool Obtain(unsigned count, const CompressState& w) {
    ahead.pfnAlloc = w.pfnAlloc;
    ahead.pfnFree = w.pfnFree;
    ahead.blockX = static_cast<unsigned char*>(ahead.pfnAlloc(sizeof(unsigned char) * kBlockBufferSize));
    if (ahead.blockX == nullptr) return false;
    ahead.block = ahead.blockX + 1;
    jobs.reset(new (std::nothrow) BlockJob[count]);
    if (!jobs) return false;
    for (n = 0; n < count; ++n) {
      jobs[n].s.pfnAlloc = w.pfnAlloc;
      jobs[n].s.pfnFree = w.pfnFree;
      if (!allocateCompressStructures(jobs[n].s)) return false;
      jobs[n].task.run = &codeBlock;
      jobs[n].task.arg = &jobs[n];
    }
    return true;
  }
};

}  // namespace

unsigned compressThreadsFor(uint32_t srclen) {
  const unsigned maxBlocks = srclen / kMinSourcePerBlock + 1;
  return std::min(EngineThreads(), maxBlocks);
}

int compressParallel(CompressState& w, ChunkIO& io, unsigned nThreads) {
  io.b_unget = false;
  w.error = CodecError::None;
  JobSet set;
  if (!set.Obtain(nThreads, w)) {
    set.Release();
    return Compress(w, io);  // one set may still be had
  }
  TaskPool pool(nThreads);

  bsSetStream(w, 1);
  w.combinedCRC = 0;
  uint64_t loaded = 0;  // blocks handed to the workers
  uint64_t joined = 0;  // blocks appended to the stream
  bool failed = false;
  auto joinOldest = [&] {
    BlockJob& job = set.jobs[joined++ % nThreads];
    pool.Wait(job.task);
    if (failed || io.bFailed) return;  // after a failed write, as on one thread: nothing more
    if (!job.ok) {
      failed = true;
      w.error = job.s.error;
      return;
    }
    appendBlock(w, io, job);
  };

  CompressState& ahead = set.ahead;
  while (!failed && !io.bFailed) {
    initialiseCRC(ahead.globalCrc);
    loadAndRLEsource(ahead, io);
    if (io.bFailed || ahead.last == -1) break;
    if (loaded - joined == nThreads) {
      joinOldest();
      if (failed || io.bFailed) break;
    }
    BlockJob& job = set.jobs[loaded % nThreads];
    std::swap(job.s.blockX, ahead.blockX);
    std::swap(job.s.block, ahead.block);
    job.s.last = ahead.last;
    std::copy(std::begin(ahead.inUse), std::end(ahead.inUse), std::begin(job.s.inUse));
    job.blockCRC = getFinalCRC(ahead.globalCrc);
    w.combinedCRC = combineCRC(w.combinedCRC, job.blockCRC);
    pool.Submit(job.task);
    ++loaded;
  }
  while (joined < loaded) joinOldest();  // every worker is done with its set before it is freed
  if (failed) return 0;
  return finishStream(w, io);
}

}  // namespace zdx

int Compress(ChunkIO& io, CodecError* pError) {
  zdx::CompressState s;
  const unsigned nThreads = zdx::compressThreadsFor(io.srclen);
  const int ok = nThreads > 1 ? zdx::compressParallel(s, io, nThreads) : zdx::Compress(s, io);
  if (pError != nullptr) *pError = s.error;
  return ok;
}
