// The byte transport between a job and the codec: two chunk buffers, their cursors,
// and the getters and putters through which the codec reads its source and writes its output.
//
// The codec never touches a file. When the source buffer is used up it asks the job to refill
// it (`pfnReadSrc`), and when the destination buffer is full it asks the job to flush it
// (`pfnWriteDst`). Both are called once per chunk, never per byte. A job that cannot read or
// write sets `bFailed`; the codec then stops at the next block boundary and reports failure.
#pragma once

#include <atomic>
#include <cstdint>

#include "codec/format.h"

// A failure flag that the refill and the flush side may set and test at the same time: a
// parallel expansion refills on one thread while it flushes on another.
class SharedFlag {
 public:
  SharedFlag(bool v = false) : v_(v) {}  // NOLINT: used as a plain bool
  SharedFlag(const SharedFlag& o) : v_(static_cast<bool>(o)) {}
  SharedFlag& operator=(const SharedFlag& o) { return *this = static_cast<bool>(o); }
  SharedFlag& operator=(bool v) {
    v_.store(v, std::memory_order_relaxed);
    return *this;
  }
  operator bool() const { return v_.load(std::memory_order_relaxed); }  // NOLINT

 private:
  std::atomic<bool> v_;
};

struct ChunkIO {
  unsigned char* pbuff1 = nullptr;  // source chunk, kChunkSize bytes, owned by the caller
  unsigned char* pbuff2 = nullptr;  // destination chunk, kChunkSize bytes, owned by the caller
  uint32_t ibuff1 = 0;              // read position in pbuff1
  uint32_t ibuff2 = 0;              // bytes waiting in pbuff2
  uint32_t srccur = 0;              // source bytes consumed
  uint32_t srclen = 0;              // source bytes to consume
  uint32_t dstcur = 0;              // bytes put into pbuff2 so far
  uint32_t dstlen = 0;              // compressing: bytes written out; expanding: the output bound
  bool b_unget = false;             // a pushed-back source byte is waiting
  int c_unget = 0;                  // the pushed-back value
  SharedFlag bFailed = false;       // the job's refill or flush failed; stop as soon as possible

  // Refills pbuff1 with the next chunk and sets ibuff1 to 0 (ReadSrc(0) of the job).
  void (*pfnReadSrc)(ChunkIO& io) = nullptr;
  // Empties pbuff2 (ibuff2 bytes) and sets ibuff2 to 0 (WriteDst of the job).
  void (*pfnWriteDst)(ChunkIO& io) = nullptr;
};

// Next source byte 0..255, or -1 once srclen bytes have been taken.
inline int GetChFromBuff1(ChunkIO& io) {
  if (io.srccur >= io.srclen) return -1;
  const int c = io.pbuff1[io.ibuff1];
  ++io.srccur;
  if (++io.ibuff1 == zdx::kChunkSize) io.pfnReadSrc(io);  // eager refill, even after the last byte
  return c;
}

// As GetChFromBuff1, with the push-back slot: a pushed-back byte comes first.
inline int GetChFromBuff1U(ChunkIO& io) {
  if (io.b_unget) {
    io.b_unget = false;
    return io.c_unget;
  }
  return GetChFromBuff1(io);
}

// One slot: a second push-back before the next get replaces the first.
inline void UnGetChFromBuff1(ChunkIO& io, int c) {
  io.b_unget = true;
  io.c_unget = c;
}

// Unbounded putter, as the bit writer uses it.
inline void PutChToBuff2U(ChunkIO& io, int c) {
  io.pbuff2[io.ibuff2] = static_cast<unsigned char>(c);
  ++io.dstcur;
  if (++io.ibuff2 == zdx::kChunkSize) io.pfnWriteDst(io);
}

// Bounded putter: a byte beyond dstlen is dropped.
inline void PutChToBuff2(ChunkIO& io, int c) {
  if (io.dstcur >= io.dstlen) return;
  PutChToBuff2U(io, c);
}
