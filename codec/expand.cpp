// The inverse transform and the expander driver.
#include <algorithm>

#include "codec/codec-internal.h"

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

int undoReversibleTransformation_fast(ExpandState& s, ChunkIO& io) {
  // cftab[b] = number of entries below b. Entry i of the sequence is the cftab[b]-th in sorted
  // order, whose link leads to i.
  int32_t cftab[257];
  cftab[0] = 0;
  for (int b = 0; b < 256; ++b) cftab[b + 1] = s.unzftab[b];
  for (int b = 1; b <= 256; ++b) cftab[b] += cftab[b - 1];
  uint32_t* const tt = s.tt;
  const uint8_t* const ll8 = s.ll8;
  const int32_t last = s.last;
  for (int32_t i = 0; i <= last; ++i) tt[i] = ll8[i];
  for (int32_t i = 0; i <= last; ++i) tt[cftab[ll8[i]]++] |= static_cast<uint32_t>(i) << 8;

  const uint32_t tPos = tt[s.origPtr] >> 8;
  if (s.blockRandomised) {
    walkBlock<true>(s, io, tt, tPos);
  } else {
    walkBlock<false>(s, io, tt, tPos);
  }
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

}  // namespace zdx

int Extract(ChunkIO& io, CodecError* pError) {
  zdx::ExpandState s;
  const int ok = zdx::Extract(s, io);
  if (pError != nullptr) *pError = s.error;
  return ok;
}
