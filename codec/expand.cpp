// The inverse transform and the expander driver.
#include <algorithm>
#include <condition_variable>
#include <cstring>
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
    if (++ibuff2_ == kChunkSize) Flush();
  }

  // n times Put(ch).
  void PutRun(int ch, uint32_t n) {
    while (n > 0 && room_ > 0) {
      const uint32_t k = std::min({n, room_, kChunkSize - ibuff2_});
      std::memset(out_ + ibuff2_, ch, k);
      ibuff2_ += k;
      room_ -= k;
      n -= k;
      if (ibuff2_ == kChunkSize) Flush();
    }
  }

 private:
  void Flush() {
    Sync();
    io_.pfnWriteDst(io_);
    out_ = io_.pbuff2;
    ibuff2_ = io_.ibuff2;
    synced_ = ibuff2_;
    room_ = io_.dstcur < io_.dstlen ? io_.dstlen - io_.dstcur : 0;
  }
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

// Where a walk's bytes go. PutBytes puts the block's bytes out as the walk finds them.
// KeepEntries keeps the entries the walk takes, still in run-length form, and puts nothing out:
// putRunLengthForm puts them out later, on another thread.
struct PutBytes {
  Output& out;
  void Entry(int32_t, int) {}
  void Put(int ch) { out.Put(ch); }
  void PutRun(int ch, int n) { out.PutRun(ch, static_cast<uint32_t>(n)); }
};

struct KeepEntries {
  uint8_t* entries;
  void Entry(int32_t i, int ch) { entries[i] = static_cast<uint8_t>(ch); }
  void Put(int) {}
  void PutRun(int, int) {}
};

// Walks the transformed sequence in text order from tPos, undoes the run-length form and
// updates crc with every byte of the block. Each step is one load from the 3.6 MB link table,
// and the next step depends on it, so the walk runs at the speed of that load; everything else
// overlaps with it. The plain and randomised walks are separate instances, so the common plain
// case carries no countdown. Returns the number of entries taken: last + 1, or one more when
// the block ends on the fourth byte of a run, whose length is then the entry after the last.
template <bool kRandomised, class Sink>
int32_t walkBlock(const uint32_t* tt, uint32_t tPos, int32_t last, uint32_t& crcInOut, Sink sink) {
  uint32_t crc = crcInOut;  // kept in a register for the whole block
  int32_t rNToGo = 0;
  int32_t rTPos = 0;
  int chPrev = 256;  // matches no byte: a block never continues the previous block's run
  int count = 0;
  int32_t i = 0;
  while (i <= last) {
    uint32_t entry = tt[tPos];
    int ch = static_cast<int>(entry & 0xFFu);
    tPos = entry >> 8;
    if constexpr (kRandomised) ch = derandomise(ch, rNToGo, rTPos);
    sink.Entry(i, ch);
    sink.Put(ch);
    updateCRC(crc, static_cast<uint8_t>(ch));
    ++i;
    if (ch != chPrev) {
      count = 1;
    } else if (++count == 4) {
      entry = tt[tPos];
      int z = static_cast<int>(entry & 0xFFu);
      tPos = entry >> 8;
      if constexpr (kRandomised) z = derandomise(z, rNToGo, rTPos);
      sink.Entry(i, z);
      sink.PutRun(ch, z);
      for (int k = 0; k < z; ++k) updateCRC(crc, static_cast<uint8_t>(ch));
      count = 0;
      ++i;
    }
    chPrev = ch;
  }
  crcInOut = crc;
  return i;
}

template <class Sink>
int32_t walkFrom(const uint32_t* tt, int32_t origPtr, int32_t last, bool randomised, uint32_t& crc,
                 Sink sink) {
  const uint32_t tPos = tt[origPtr] >> 8;
  return randomised ? walkBlock<true>(tt, tPos, last, crc, sink)
                    : walkBlock<false>(tt, tPos, last, crc, sink);
}

// Puts out the bytes of nEntries entries that KeepEntries kept: the walk's output, in order.
void putRunLengthForm(ChunkIO& io, const uint8_t* entries, int32_t nEntries) {
  Output out(io);
  int chPrev = 256;
  int count = 0;
  for (int32_t i = 0; i < nEntries;) {
    const int ch = entries[i++];
    out.Put(ch);
    if (ch != chPrev) {
      count = 1;
    } else if (++count == 4) {
      out.PutRun(ch, entries[i++]);  // the walk kept a length after every fourth byte
      count = 0;
    }
    chPrev = ch;
  }
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

int undoReversibleTransformation_fast(ExpandState& s, ChunkIO& io) {
  buildLinks(s.tt, s.ll8, s.unzftab, s.last);
  Output out(io);
  walkFrom(s.tt, s.origPtr, s.last, s.blockRandomised, s.globalCrc, PutBytes{out});
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

// ---- Expansion on several threads.
//
// A reader thread takes the stream's bits and decodes each block's tables and symbols into a
// slot; walker threads, each with its own link table, build the links of the next decoded block
// and walk them, keeping the block in run-length form in its slot together with its checksum;
// the calling thread puts the walked blocks out in order and checks them. A block the calling
// thread has put out frees its slot for the reader. Refills happen on the reader thread only,
// flushes on the calling thread only.
//
// The walk is two thirds of the work, and decoding and putting out fit beside it on one more
// core, so there is a walker for every thread but one. A walker builds the links it walks: built
// on another core, the table would have to cross over to the walker's cache line by line, in
// the walk's random order.

namespace {

struct BlockSlot {
  enum Kind : uint8_t { kBlock, kEnd, kDamaged, kStopped };
  enum Stage : uint8_t { kFree, kDecoded, kWalking, kWalked };
  // The decoded sequence; after the walk, the entries it took, in text order.
  uint8_t* entries = nullptr;
  uint64_t block = ~uint64_t{0};  // guarded by the pipeline's lock: the block it holds
  Stage stage = kFree;            // guarded by the pipeline's lock
  // Set by the reader before kDecoded (kWalked for the other kinds).
  Kind kind = kDamaged;
  int32_t last = -1;
  int32_t origPtr = 0;
  bool randomised = false;
  uint32_t storedCRC = 0;  // the block's, or the combined checksum at the end
  int32_t unzftab[256] = {};
  // Set by the walker before kWalked.
  int32_t nEntries = 0;
  uint32_t computedCRC = 0;
};

class ExpandPipeline;

struct Walker {
  ExpandPipeline* pipeline = nullptr;
  uint32_t* tt = nullptr;
  Task task;
};

class ExpandPipeline {
 public:
  ExpandPipeline(ExpandState& out, ChunkIO& io, unsigned nWalkers)
      : out_(out), io_(io), nWalkers_(nWalkers), nSlots_(nWalkers + 2) {
    reader_.pfnAlloc = out.pfnAlloc;
    reader_.pfnFree = out.pfnFree;
  }
  ~ExpandPipeline() {
    if (slots_)
      for (unsigned i = 0; i < nSlots_; ++i)
        if (slots_[i].entries != nullptr) reader_.pfnFree(slots_[i].entries);
    if (walkers_)
      for (unsigned i = 0; i < nWalkers_; ++i)
        if (walkers_[i].tt != nullptr) reader_.pfnFree(walkers_[i].tt);
  }
  ExpandPipeline(const ExpandPipeline&) = delete;
  ExpandPipeline& operator=(const ExpandPipeline&) = delete;

  // One link table per walker and one sequence per slot: a block in flight costs its sequence,
  // a walker its links. A sequence has room for the one entry a walk may take past the last.
  bool Obtain() {
    slots_.reset(new (std::nothrow) BlockSlot[nSlots_]);
    walkers_.reset(new (std::nothrow) Walker[nWalkers_]);
    if (!slots_ || !walkers_) return false;
    for (unsigned i = 0; i < nSlots_; ++i) {
      slots_[i].entries = static_cast<uint8_t*>(reader_.pfnAlloc(sizeof(uint8_t) * (kMaxCodedBlock + 1)));
      if (slots_[i].entries == nullptr) return false;
    }
    for (unsigned i = 0; i < nWalkers_; ++i) {
      walkers_[i].pipeline = this;
      walkers_[i].tt = static_cast<uint32_t*>(reader_.pfnAlloc(sizeof(uint32_t) * kMaxCodedBlock));
      if (walkers_[i].tt == nullptr) return false;
      walkers_[i].task = Task{&WalkAll, &walkers_[i]};
    }
    return true;
  }

  // The pool has a thread for the reader and one for each walker.
  int Run(TaskPool& pool) {
    Task readerTask{&ReadAll, this};
    pool.Submit(readerTask);
    for (unsigned i = 0; i < nWalkers_; ++i) pool.Submit(walkers_[i].task);
    const int ok = Consume();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    pool.Wait(readerTask);
    for (unsigned i = 0; i < nWalkers_; ++i) pool.Wait(walkers_[i].task);
    return ok;
  }

 private:
  static void ReadAll(void* self) { static_cast<ExpandPipeline*>(self)->Read(); }
  static void WalkAll(void* walker) {
    auto* w = static_cast<Walker*>(walker);
    w->pipeline->Walk(w->tt);
  }

  BlockSlot& SlotOf(uint64_t block) { return slots_[block % nSlots_]; }

  // Marks a slot's new stage and wakes whoever waits for it.
  void Publish(BlockSlot& d, BlockSlot::Stage stage) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      d.stage = stage;
    }
    changed_.notify_all();
  }

  // On the reader thread: decodes block after block until the end, a failure or a stop.
  void Read() {
    for (uint64_t k = 0;; ++k) {
      BlockSlot& d = SlotOf(k);
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || d.stage == BlockSlot::kFree; });
        if (stop_) return;
        d.block = k;
      }
      DecodeOne(d);
      Publish(d, d.kind == BlockSlot::kBlock ? BlockSlot::kDecoded : BlockSlot::kWalked);
      if (d.kind != BlockSlot::kBlock) return;
    }
  }

  // Reads one block into the slot's sequence, or the end of the stream.
  void DecodeOne(BlockSlot& d) {
    ExpandState& s = reader_;
    d.kind = BlockSlot::kDamaged;
    if (io_.bFailed) {
      d.kind = BlockSlot::kStopped;
      return;
    }
    uint8_t marker[6];
    for (uint8_t& b : marker) b = static_cast<uint8_t>(bsR(s, io_, 8));
    if (marker[0] == kEndMarker[0]) {
      if (!std::equal(marker, marker + 6, kEndMarker)) return;
      d.storedCRC = bsGetUInt32(s, io_);
      d.kind = BlockSlot::kEnd;
      return;
    }
    if (!std::equal(marker, marker + 6, kBlockMarker)) return;
    d.storedCRC = bsGetUInt32(s, io_);
    d.randomised = bsR(s, io_, 1) == 1;
    s.ll8 = d.entries;
    const int ok = getAndMoveToFrontDecode(s, io_);
    s.ll8 = nullptr;
    if (!ok) return;
    d.last = s.last;
    d.origPtr = s.origPtr;
    std::copy(s.unzftab, s.unzftab + 256, d.unzftab);
    d.kind = BlockSlot::kBlock;
  }

  // On a walker thread: takes the decoded blocks in order, one at a time, until the end or a stop.
  void Walk(uint32_t* tt) {
    for (;;) {
      BlockSlot* d = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] {
          const BlockSlot& next = SlotOf(nextWalk_);
          return stop_ || (next.block == nextWalk_ && next.stage != BlockSlot::kFree);
        });
        if (stop_) return;
        d = &SlotOf(nextWalk_);
        if (d->kind != BlockSlot::kBlock) return;  // the last slot the reader fills: nothing to walk
        d->stage = BlockSlot::kWalking;
        ++nextWalk_;
      }
      buildLinks(tt, d->entries, d->unzftab, d->last);
      uint32_t crc;
      initialiseCRC(crc);
      d->nEntries = walkFrom(tt, d->origPtr, d->last, d->randomised, crc, KeepEntries{d->entries});
      d->computedCRC = getFinalCRC(crc);
      Publish(*d, BlockSlot::kWalked);
    }
  }

  // On the calling thread: puts the walked blocks out in order and checks them. A block is put
  // out before its checksum is compared, as on one thread.
  int Consume() {
    ExpandState& s = out_;
    s.computedCombinedCRC = 0;
    for (uint64_t k = 0;; ++k) {
      BlockSlot& d = SlotOf(k);
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return d.block == k && d.stage == BlockSlot::kWalked; });
      }
      if (io_.bFailed || d.kind == BlockSlot::kDamaged || d.kind == BlockSlot::kStopped) return 0;
      if (d.kind == BlockSlot::kEnd) {
        s.storedCombinedCRC = d.storedCRC;
        return s.storedCombinedCRC == s.computedCombinedCRC && !io_.bFailed ? 1 : 0;
      }
      s.storedBlockCRC = d.storedCRC;
      s.blockRandomised = d.randomised;
      s.last = d.last;
      putRunLengthForm(io_, d.entries, d.nEntries);
      s.computedBlockCRC = d.computedCRC;
      if (s.storedBlockCRC != s.computedBlockCRC) return 0;
      s.computedCombinedCRC = combineCRC(s.computedCombinedCRC, s.computedBlockCRC);
      Publish(d, BlockSlot::kFree);
    }
  }

  ExpandState& out_;
  ExpandState reader_;
  ChunkIO& io_;
  const unsigned nWalkers_;
  const unsigned nSlots_;  // enough for a block being read, one per walker and one being put out
  std::unique_ptr<BlockSlot[]> slots_;
  std::unique_ptr<Walker[]> walkers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t nextWalk_ = 0;  // guarded by mutex_: the next block a walker takes
  bool stop_ = false;      // guarded by mutex_: the calling thread is done
};

}  // namespace

int extractParallel(ExpandState& s, ChunkIO& io, unsigned nThreads) {
  s.error = CodecError::None;
  // The reader and nThreads - 1 walkers: the walk is two thirds of the work, and decoding and
  // putting out the blocks fit beside it on one more core.
  TaskPool pool(nThreads);
  if (pool.Threads() < 2) return Extract(s, io);  // the reader and a walker need a thread each
  auto pipeline = std::unique_ptr<ExpandPipeline>(new (std::nothrow) ExpandPipeline(s, io, pool.Threads() - 1));
  if (!pipeline || !pipeline->Obtain()) {
    pipeline.reset();
    return Extract(s, io);  // the one-thread work memory may still be had
  }
  if (pipeline->Run(pool) == 1) return 1;
  s.error = io.bFailed ? CodecError::Io : CodecError::Damaged;
  return 0;
}

}  // namespace zdx

int Extract(ChunkIO& io, CodecError* pError) {
  // Shorter streams hold a block or two of text: not worth more threads.
  constexpr uint32_t kPipelineFrom = 64 * 1024;
  zdx::ExpandState s;
  const unsigned nThreads = EngineThreads();
  const int ok = nThreads > 1 && io.srclen >= kPipelineFrom ? zdx::extractParallel(s, io, nThreads)
                                                            : zdx::Extract(s, io);
  if (pError != nullptr) *pError = s.error;
  return ok;
}
