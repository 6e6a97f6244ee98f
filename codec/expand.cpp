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

inline int derandomise(int ch, int32_t& rNToGo, int32_t& rTPos) {
  return randomisationFlips(rNToGo, rTPos) ? ch ^ 1 : ch;
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
// putRunLengthForm puts them out later, once the blocks before have been put out.
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

namespace {

// What comes next in a stream. kStopped: not read, because a refill or flush has failed.
enum Part : uint8_t { kBlock, kEnd, kDamaged, kStopped };

// Reads a block's header, tables and symbols (into s.ll8), or the stream's end. storedCRC gets
// the block's checksum, or the combined one at the end.
Part readNextPart(ExpandState& s, ChunkIO& io, uint32_t& storedCRC, bool& bRandomised) {
  uint8_t marker[6];
  for (uint8_t& b : marker) b = static_cast<uint8_t>(bsR(s, io, 8));
  if (marker[0] == kEndMarker[0]) {
    if (!std::equal(marker, marker + 6, kEndMarker)) return kDamaged;
    storedCRC = bsGetUInt32(s, io);
    return kEnd;
  }
  if (!std::equal(marker, marker + 6, kBlockMarker)) return kDamaged;
  storedCRC = bsGetUInt32(s, io);
  bRandomised = bsR(s, io, 1) == 1;
  return getAndMoveToFrontDecode(s, io) ? kBlock : kDamaged;
}

}  // namespace

int undoReversibleTransformation_fast(ExpandState& s, ChunkIO& io) {
  buildLinks(s.tt, s.ll8, s.unzftab, s.last);
  Output out(io);
  walkFrom(s.tt, s.origPtr, s.last, s.blockRandomised, s.globalCrc, PutBytes{out});
  return 1;
}

int Extract(ExpandState& s, ChunkIO& io) {
  s.bsBuff = 0;
  s.bsLive = 0;
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
    uint32_t storedCRC = 0;
    const Part part = readNextPart(s, io, storedCRC, s.blockRandomised);
    if (part == kEnd) {
      s.storedCombinedCRC = storedCRC;
      if (s.storedCombinedCRC != s.computedCombinedCRC || io.bFailed) return fail();
      // The padding bits left in bsBuff are dropped; nothing after the stream is read.
      freeDecompressStructures(s);
      return 1;
    }
    if (part != kBlock) return fail();

    s.storedBlockCRC = storedCRC;
    initialiseCRC(s.globalCrc);
    undoReversibleTransformation_fast(s, io);
    s.computedBlockCRC = getFinalCRC(s.globalCrc);
    if (s.storedBlockCRC != s.computedBlockCRC) return fail();
    s.computedCombinedCRC = combineCRC(s.computedCombinedCRC, s.computedBlockCRC);
  }
}

// ---- Expansion on several threads.
//
// Each of several workers, the calling thread among them, takes one block at a time through
// three steps. It decodes the block's tables and symbols into its own sequence while it holds
// the reading turn, which passes from block to block in stream order. It builds and walks the
// block's links in its own link table, keeping the block in run-length form, while the other
// workers do the same with their blocks. Then, when the output turn reaches its block, it puts
// the block out and checks it. So the bits are read and the blocks put out in order, as on one
// thread, while the walks, two thirds of the work, run side by side; and each worker's work
// areas are those of one thread.

namespace {

class ExpandWorkers {
 public:
  ExpandWorkers(ExpandState& out, ChunkIO& io, unsigned nWorkers)
      : out_(out), io_(io), nWorkers_(nWorkers) {
    in_.pfnAlloc = out.pfnAlloc;
    in_.pfnFree = out.pfnFree;
  }
  ~ExpandWorkers() {
    if (!workers_) return;
    for (unsigned i = 0; i < nWorkers_; ++i) {
      if (workers_[i].entries != nullptr) in_.pfnFree(workers_[i].entries);
      if (workers_[i].tt != nullptr) in_.pfnFree(workers_[i].tt);
    }
  }
  ExpandWorkers(const ExpandWorkers&) = delete;
  ExpandWorkers& operator=(const ExpandWorkers&) = delete;

  // A sequence and a link table per worker; the sequence has room for the one entry a walk may
  // take past the last.
  bool Obtain() {
    workers_.reset(new (std::nothrow) Worker[nWorkers_]);
    if (!workers_) return false;
    for (unsigned i = 0; i < nWorkers_; ++i) {
      Worker& w = workers_[i];
      w.owner = this;
      w.entries = static_cast<uint8_t*>(in_.pfnAlloc(sizeof(uint8_t) * (kMaxCodedBlock + 1)));
      if (w.entries == nullptr) return false;
      w.tt = static_cast<uint32_t*>(in_.pfnAlloc(sizeof(uint32_t) * kMaxCodedBlock));
      if (w.tt == nullptr) return false;
    }
    return true;
  }

  // Worker 0 is the calling thread; the pool has a thread for each of the others.
  int Run(TaskPool& pool) {
    out_.computedCombinedCRC = 0;
    for (unsigned i = 1; i < nWorkers_; ++i) {
      workers_[i].task = Task{&WorkAll, &workers_[i]};
      pool.Submit(workers_[i].task);
    }
    Work(workers_[0]);
    for (unsigned i = 1; i < nWorkers_; ++i) pool.Wait(workers_[i].task);
    return result_;
  }

 private:
  // A worker's work areas and the block it holds.
  struct Worker {
    ExpandWorkers* owner = nullptr;
    uint8_t* entries = nullptr;  // the decoded sequence; after the walk, the entries it took
    uint32_t* tt = nullptr;
    Task task;
    uint64_t block = 0;
    Part kind = kDamaged;
    int32_t last = -1;
    int32_t origPtr = 0;
    bool randomised = false;
    uint32_t storedCRC = 0;  // the block's, or the combined checksum at the end
    int32_t unzftab[256] = {};
    int32_t nEntries = 0;
    uint32_t computedCRC = 0;
  };

  static void WorkAll(void* worker) {
    auto* w = static_cast<Worker*>(worker);
    w->owner->Work(*w);
  }

  // Takes blocks until the stream has ended, failed or been stopped.
  void Work(Worker& w) {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || ended_ || !reading_; });
        if (stop_ || ended_) return;
        reading_ = true;
        w.block = nextRead_++;
      }
      Read(w);
      bool bStopped;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        reading_ = false;
        if (w.kind != kBlock) ended_ = true;  // nothing after it is read
        bStopped = stop_;
      }
      changed_.notify_all();
      if (bStopped) return;

      if (w.kind == kBlock) {
        buildLinks(w.tt, w.entries, w.unzftab, w.last);
        uint32_t crc;
        initialiseCRC(crc);
        w.nEntries = walkFrom(w.tt, w.origPtr, w.last, w.randomised, crc, KeepEntries{w.entries});
        w.computedCRC = getFinalCRC(crc);
      }

      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || nextOut_ == w.block; });
        if (stop_) return;
      }
      const bool bGoOn = PutOut(w);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++nextOut_;
        if (!bGoOn) stop_ = true;
      }
      changed_.notify_all();
      if (!bGoOn) return;
    }
  }

  // With the reading turn: reads one block into the worker's sequence, or the end of the stream.
  void Read(Worker& w) {
    if (io_.bFailed) {
      w.kind = kStopped;
      return;
    }
    ExpandState& s = in_;
    s.ll8 = w.entries;
    w.kind = readNextPart(s, io_, w.storedCRC, w.randomised);
    s.ll8 = nullptr;
    if (w.kind != kBlock) return;
    w.last = s.last;
    w.origPtr = s.origPtr;
    std::copy(s.unzftab, s.unzftab + 256, w.unzftab);
  }

  // With the output turn: puts the worker's block out and checks it, as on one thread (a block is
  // put out before its checksum is compared), or settles the outcome at the stream's end.
  // Returns whether there is more to do.
  bool PutOut(Worker& w) {
    ExpandState& s = out_;
    if (io_.bFailed || w.kind == kDamaged || w.kind == kStopped) {
      result_ = 0;
      return false;
    }
    if (w.kind == kEnd) {
      s.storedCombinedCRC = w.storedCRC;
      result_ = s.storedCombinedCRC == s.computedCombinedCRC && !io_.bFailed ? 1 : 0;
      return false;
    }
    s.storedBlockCRC = w.storedCRC;
    s.blockRandomised = w.randomised;
    s.last = w.last;
    putRunLengthForm(io_, w.entries, w.nEntries);
    s.computedBlockCRC = w.computedCRC;
    if (s.storedBlockCRC != s.computedBlockCRC) {
      result_ = 0;
      return false;
    }
    s.computedCombinedCRC = combineCRC(s.computedCombinedCRC, s.computedBlockCRC);
    return true;
  }

  ExpandState& out_;  // the outcome, written by the output turn's holder only
  ExpandState in_;    // the bit reader and decoding tables, used by the reading turn's holder only
  ChunkIO& io_;
  const unsigned nWorkers_;
  std::unique_ptr<Worker[]> workers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_.
  bool reading_ = false;   // a worker holds the reading turn
  bool ended_ = false;     // the stream's end, or a failure, has been read: nothing more to read
  uint64_t nextRead_ = 0;  // the block the reading turn reads next
  uint64_t nextOut_ = 0;   // the block that holds the output turn
  bool stop_ = false;      // the outcome is settled
  int result_ = 0;         // written by the output turn's holder
};

}  // namespace

int extractParallel(ExpandState& s, ChunkIO& io, unsigned nThreads) {
  s.error = CodecError::None;
  TaskPool pool(nThreads - 1);
  if (pool.Threads() == 0) return Extract(s, io);
  auto workers = std::unique_ptr<ExpandWorkers>(new (std::nothrow) ExpandWorkers(s, io, pool.Threads() + 1));
  if (!workers || !workers->Obtain()) {
    workers.reset();
    return Extract(s, io);  // the one-thread work memory may still be had
  }
  if (workers->Run(pool) == 1) return 1;
  s.error = io.bFailed ? CodecError::Io : CodecError::Damaged;
  return 0;
}

}  // namespace zdx

int Extract(ChunkIO& io, CodecError* pError) {
  // Shorter streams hold a block or two of text: not worth more threads.
  constexpr uint32_t kThreadsFrom = 64 * 1024;
  zdx::ExpandState s;
  const unsigned nThreads = EngineThreads();
  const int ok = nThreads > 1 && io.srclen >= kThreadsFrom ? zdx::extractParallel(s, io, nThreads)
                                                            : zdx::Extract(s, io);
  if (pError != nullptr) *pError = s.error;
  return ok;
}
