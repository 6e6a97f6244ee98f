// The inverse transform and the expander driver.
#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>

#include "codec/codec-internal.h"
#include "codec/parallel.h"

namespace zdx {

namespace {

// One step of the randomisation walk: the byte two before the end of each interval is flipped.
inline int derandomise(int ch, int32_t& rNToGo, int32_t& rTPos) {
  if (rNToGo == 0) {
    rNToGo = rNums[rTPos];
    rTPos = (rTPos + 1) & (kRandTableSize - 1);
  }
  --rNToGo;
  return rNToGo == 1 ? ch ^ 1 : ch;
}

// The bounded putter's steps with the cursors held in locals: byte stores may alias anything,
// so through ChunkIO the cursors would be reloaded for every byte. They are written back
// before each flush and at the end, so the flush still comes exactly when the chunk is full.
class Output {
 public:
  explicit Output(ChunkIO& io)
      : io_(io),
        out_(io.pbuff2),
        ibuff2_(io.ibuff2),
        room_(io.dstcur < io.dstlen ? io.dstlen - io.dstcur : 0) {}
  ~Output() { Sync(); }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void Put(int ch) {
    if (room_ == 0) return;  // beyond dstlen: dropped
    --room_;
    out_[ibuff2_] = static_cast<unsigned char>(ch);
    if (++ibuff2_ == kChunkSize) {
      Sync();
      io_.pfnWriteDst(io_);
      out_ = io_.pbuff2;
      ibuff2_ = io_.ibuff2;
      synced_ = ibuff2_;
      room_ = io_.dstcur < io_.dstlen ? io_.dstlen - io_.dstcur : 0;
    }
  }

 private:
  void Sync() {
    io_.dstcur += ibuff2_ - synced_;
    io_.ibuff2 = ibuff2_;
    synced_ = ibuff2_;
  }
  ChunkIO& io_;
  unsigned char* out_;
  uint32_t ibuff2_;
  uint32_t room_;
  uint32_t synced_ = ibuff2_;
};

// Walks the transformed sequence in text order, undoes the run-length form and puts the bytes
// out. Each step is one load from the 3.6 MB link table, and the next step depends on it, so the
// walk runs at the speed of that load; everything else overlaps with it. The plain and
// randomised walks are separate instances, so the common plain case carries no countdown.
template <bool kRandomised>
void walkBlock(ExpandState& s, ChunkIO& io, const uint32_t* tt, uint32_t tPos) {
  const int32_t last = s.last;
  uint32_t crc = s.globalCrc;  // kept in a register for the whole block
  int32_t rNToGo = 0;
  int32_t rTPos = 0;
  int chPrev = 256;  // matches no byte: a block never continues the previous block's run
  int count = 0;
  int32_t i = 0;
  Output out(io);
  while (i <= last) {
    uint32_t entry = tt[tPos];
    int ch = static_cast<int>(entry & 0xFFu);
    tPos = entry >> 8;
    if constexpr (kRandomised) ch = derandomise(ch, rNToGo, rTPos);
    out.Put(ch);
    updateCRC(crc, static_cast<uint8_t>(ch));
    ++i;
    if (ch != chPrev) {
      count = 1;
    } else if (++count == 4) {
      entry = tt[tPos];
      int z = static_cast<int>(entry & 0xFFu);
      tPos = entry >> 8;
      if constexpr (kRandomised) z = derandomise(z, rNToGo, rTPos);
      for (int k = 0; k < z; ++k) {
        out.Put(ch);
        updateCRC(crc, static_cast<uint8_t>(ch));
      }
      count = 0;
      ++i;
    }
    chPrev = ch;
  }
  s.globalCrc = crc;
}

}  // namespace

// cftab[b] = number of entries below b. Entry i of the sequence is the cftab[b]-th in sorted
// order, whose link leads to i.
void buildLinks(uint32_t* tt, const uint8_t* ll8, const int32_t* unzftab, int32_t last) {
  int32_t cftab[257];
  cftab[0] = 0;
  for (int b = 0; b < 256; ++b) cftab[b + 1] = unzftab[b];
  for (int b = 1; b <= 256; ++b) cftab[b] += cftab[b - 1];
  for (int32_t i = 0; i <= last; ++i) tt[i] = ll8[i];
  for (int32_t i = 0; i <= last; ++i) tt[cftab[ll8[i]]++] |= static_cast<uint32_t>(i) << 8;
}

void walkLinks(ExpandState& s, ChunkIO& io, const uint32_t* tt, int32_t origPtr, bool randomised) {
  const uint32_t tPos = tt[origPtr] >> 8;
  if (randomised) {
    walkBlock<true>(s, io, tt, tPos);
  } else {
    walkBlock<false>(s, io, tt, tPos);
  }
}

int undoReversibleTransformation_fast(ExpandState& s, ChunkIO& io) {
  buildLinks(s.tt, s.ll8, s.unzftab, s.last);
  walkLinks(s, io, s.tt, s.origPtr, s.blockRandomised);
  return 1;
}

int Extract(ExpandState& s, ChunkIO& io) {
  s.bsBuff = 0;
  s.bsLive = 0;
  s.ll8 = nullptr;
  s.tt = nullptr;
  s.error = CodecError::None;
  if (!setDecompressStructureSizes(s)) {
    s.error = CodecError::NoMemory;
    return 0;
  }
  s.computedCombinedCRC = 0;

  auto fail = [&] {
    freeDecompressStructures(s);
    s.error = io.bFailed ? CodecError::Io : CodecError::Damaged;
    return 0;
  };

  for (;;) {
    if (io.bFailed) return fail();
    uint8_t marker[6];
    for (uint8_t& b : marker) b = static_cast<uint8_t>(bsR(s, io, 8));

    if (marker[0] == kEndMarker[0]) {
      if (!std::equal(marker, marker + 6, kEndMarker)) return fail();
      s.storedCombinedCRC = bsGetUInt32(s, io);
      if (s.storedCombinedCRC != s.computedCombinedCRC || io.bFailed) return fail();
      // The padding bits left in bsBuff are dropped; nothing after the stream is read.
      freeDecompressStructures(s);
      return 1;
    }
    if (!std::equal(marker, marker + 6, kBlockMarker)) return fail();

    s.storedBlockCRC = bsGetUInt32(s, io);
    s.blockRandomised = bsR(s, io, 1) == 1;
    if (!getAndMoveToFrontDecode(s, io)) return fail();
    initialiseCRC(s.globalCrc);
    undoReversibleTransformation_fast(s, io);
    s.computedBlockCRC = getFinalCRC(s.globalCrc);
    if (s.storedBlockCRC != s.computedBlockCRC) return fail();
    s.computedCombinedCRC = combineCRC(s.computedCombinedCRC, s.computedBlockCRC);
  }
}

// ---- Expansion as a pipeline.
//
// A reader thread takes the stream's bits, decodes each block's tables and symbols and builds
// its links, into two sets of links used in turn; the calling thread walks the links in block
// order, checks the checksums and puts the bytes out. So reading and decoding the next block
// overlaps the output of the current one, and refills happen on the reader thread only, flushes
// on the calling thread only.

namespace {

struct DecodedBlock {
  enum Kind : uint8_t { kBlock, kEnd, kDamaged, kStopped };
  uint32_t* tt = nullptr;
  int32_t last = -1;
  int32_t origPtr = 0;
  bool randomised = false;
  uint32_t storedCRC = 0;  // the block's, or the combined checksum at the end
  Kind kind = kDamaged;
  bool ready = false;  // guarded by the pipeline's lock: the reader has filled it
};

class ExpandPipeline {
 public:
  ExpandPipeline(ExpandState& out, ChunkIO& io) : out_(out), io_(io) {
    reader_.pfnAlloc = out.pfnAlloc;
    reader_.pfnFree = out.pfnFree;
  }
  ~ExpandPipeline() {
    if (reader_.ll8 != nullptr) reader_.pfnFree(reader_.ll8);
    for (DecodedBlock& d : slots_)
      if (d.tt != nullptr) reader_.pfnFree(d.tt);
  }
  ExpandPipeline(const ExpandPipeline&) = delete;
  ExpandPipeline& operator=(const ExpandPipeline&) = delete;

  bool Obtain() {
    reader_.ll8 = static_cast<uint8_t*>(reader_.pfnAlloc(sizeof(uint8_t) * kMaxCodedBlock));
    if (reader_.ll8 == nullptr) return false;
    for (DecodedBlock& d : slots_) {
      d.tt = static_cast<uint32_t*>(reader_.pfnAlloc(sizeof(uint32_t) * kMaxCodedBlock));
      if (d.tt == nullptr) return false;
    }
    return true;
  }

  int Run() {
    TaskPool pool(1);
    Task readerTask{&ReadAll, this};
    pool.Submit(readerTask);
    const int ok = Consume();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    pool.Wait(readerTask);
    return ok;
  }

 private:
  static void ReadAll(void* self) { static_cast<ExpandPipeline*>(self)->Read(); }

  // On the reader thread: decodes block after block until the end, a failure or a stop. A block
  // is decoded before its set of links is free, so the reader stays a block ahead.
  void Read() {
    ExpandState& s = reader_;
    for (uint64_t k = 0;; ++k) {
      DecodedBlock next;
      DecodeOne(s, next);
      DecodedBlock& d = slots_[k & 1];
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || !d.ready; });
        if (stop_) return;
      }
      if (next.kind == DecodedBlock::kBlock) buildLinks(d.tt, s.ll8, s.unzftab, s.last);
      d.last = next.last;
      d.origPtr = next.origPtr;
      d.randomised = next.randomised;
      d.storedCRC = next.storedCRC;
      d.kind = next.kind;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        d.ready = true;
      }
      changed_.notify_all();
      if (d.kind != DecodedBlock::kBlock) return;
    }
  }

  // Reads one block (into the reader's ll8) or the end of the stream; sets all but d.tt.
  void DecodeOne(ExpandState& s, DecodedBlock& d) {
    d.kind = DecodedBlock::kDamaged;
    if (io_.bFailed) {
      d.kind = DecodedBlock::kStopped;
      return;
    }
    uint8_t marker[6];
    for (uint8_t& b : marker) b = static_cast<uint8_t>(bsR(s, io_, 8));
    if (marker[0] == kEndMarker[0]) {
      if (!std::equal(marker, marker + 6, kEndMarker)) return;
      d.storedCRC = bsGetUInt32(s, io_);
      d.kind = DecodedBlock::kEnd;
      return;
    }
    if (!std::equal(marker, marker + 6, kBlockMarker)) return;
    d.storedCRC = bsGetUInt32(s, io_);
    d.randomised = bsR(s, io_, 1) == 1;
    if (!getAndMoveToFrontDecode(s, io_)) return;
    d.last = s.last;
    d.origPtr = s.origPtr;
    d.kind = DecodedBlock::kBlock;
  }

  // On the calling thread: puts the decoded blocks out in order and checks them.
  int Consume() {
    ExpandState& s = out_;
    s.computedCombinedCRC = 0;
    for (uint64_t k = 0;; ++k) {
      DecodedBlock& d = slots_[k & 1];
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return d.ready; });
      }
      if (io_.bFailed || d.kind == DecodedBlock::kDamaged || d.kind == DecodedBlock::kStopped) return 0;
      if (d.kind == DecodedBlock::kEnd) {
        s.storedCombinedCRC = d.storedCRC;
        return s.storedCombinedCRC == s.computedCombinedCRC && !io_.bFailed ? 1 : 0;
      }
      s.storedBlockCRC = d.storedCRC;
      s.blockRandomised = d.randomised;
      s.last = d.last;
      initialiseCRC(s.globalCrc);
      walkLinks(s, io_, d.tt, d.origPtr, d.randomised);
      s.computedBlockCRC = getFinalCRC(s.globalCrc);
      if (s.storedBlockCRC != s.computedBlockCRC) return 0;
      s.computedCombinedCRC = combineCRC(s.computedCombinedCRC, s.computedBlockCRC);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        d.ready = false;
      }
      changed_.notify_all();
    }
  }

  ExpandState& out_;
  ExpandState reader_;
  ChunkIO& io_;
  DecodedBlock slots_[2];
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;  // guarded by mutex_: the calling thread is done
};

}  // namespace

int extractParallel(ExpandState& s, ChunkIO& io) {
  s.error = CodecError::None;
  auto pipeline = std::unique_ptr<ExpandPipeline>(new (std::nothrow) ExpandPipeline(s, io));
  if (!pipeline || !pipeline->Obtain()) {
    pipeline.reset();
    return Extract(s, io);  // the one-thread work memory may still be had
  }
  if (pipeline->Run() == 1) return 1;
  s.error = io.bFailed ? CodecError::Io : CodecError::Damaged;
  return 0;
}

}  // namespace zdx

int Extract(ChunkIO& io, CodecError* pError) {
  // Shorter streams hold a block or two of text: not worth a second thread.
  constexpr uint32_t kPipelineFrom = 64 * 1024;
  zdx::ExpandState s;
  const int ok = EngineThreads() > 1 && io.srclen >= kPipelineFrom ? zdx::extractParallel(s, io)
                                                                         : zdx::Extract(s, io);
  if (pError != nullptr) *pError = s.error;
  return ok;
}
