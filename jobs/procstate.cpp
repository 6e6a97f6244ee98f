#include "jobs/procstate.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "jobs/requests.h"

namespace {

void RefillHook(ChunkIO& io) { ReadSrc(static_cast<ProcState&>(io), 0); }
void FlushHook(ChunkIO& io) { WriteDst(static_cast<ProcState&>(io)); }

unsigned SampleSize(uint8_t mode) {
  switch (mode) {
    case 2: return 1;
    case 3: return 2;
    case 4: return 3;
    case 5: return 4;
    default: return 0;
  }
}

inline uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline void Put16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

// Loads the carries from one sample without changing it.
void LoadCarries(ProcState& s, const unsigned char* p) {
  switch (s.currOptim) {
    case 2: s.bp = p[0]; break;
    case 3: s.wp = Get16(p); break;
    case 4: s.wp = Get16(p); s.bp = p[2]; break;
    case 5: s.wp = Get16(p); s.wp2 = Get16(p + 2); break;
  }
}

// Replaces each field of one sample by its difference from the carry.
void DiffSample(ProcState& s, unsigned char* p) {
  switch (s.currOptim) {
    case 2: {
      const unsigned char x = p[0];
      p[0] = static_cast<unsigned char>(x - s.bp);
      s.bp = x;
      break;
    }
    case 3: {
      const uint16_t x = Get16(p);
      Put16(p, x - s.wp);
      s.wp = x;
      break;
    }
    case 4: {
      const uint16_t x = Get16(p);
      const unsigned char y = p[2];
      Put16(p, x - s.wp);
      p[2] = static_cast<unsigned char>(y - s.bp);
      s.wp = x;
      s.bp = y;
      break;
    }
    case 5: {
      const uint16_t x = Get16(p);
      const uint16_t y = Get16(p + 2);
      Put16(p, x - s.wp);
      Put16(p + 2, y - s.wp2);
      s.wp = x;
      s.wp2 = y;
      break;
    }
  }
}

// Adds the carry back to each field of one sample.
void SumSample(ProcState& s, unsigned char* p) {
  switch (s.currOptim) {
    case 2:
      s.bp = static_cast<unsigned char>(p[0] + s.bp);
      p[0] = s.bp;
      break;
    case 3:
      s.wp = static_cast<uint16_t>(Get16(p) + s.wp);
      Put16(p, s.wp);
      break;
    case 4:
      s.wp = static_cast<uint16_t>(Get16(p) + s.wp);
      s.bp = static_cast<unsigned char>(p[2] + s.bp);
      Put16(p, s.wp);
      p[2] = s.bp;
      break;
    case 5:
      s.wp = static_cast<uint16_t>(Get16(p) + s.wp);
      s.wp2 = static_cast<uint16_t>(Get16(p + 2) + s.wp2);
      Put16(p, s.wp);
      Put16(p + 2, s.wp2);
      break;
  }
}

// Runs `op` over every sample of p[0..n); an incomplete last sample is handled as if padded
// with zero bytes, and only its present bytes are stored back.
template <typename Op>
void ForEachSample(unsigned char* p, uint32_t n, unsigned size, Op op) {
  uint32_t i = 0;
  for (; i + size <= n; i += size) op(p + i);
  if (i < n) {
    unsigned char tail[4] = {0, 0, 0, 0};
    std::memcpy(tail, p + i, n - i);
    op(tail);
    std::memcpy(p + i, tail, n - i);
  }
}

}  // namespace

void ProcState::Reset(unsigned char* buff1, unsigned char* buff2) {
  ProcStatus* const status = preqstat;
  const int32_t index = reqindex;
  *this = ProcState{};
  pbuff1 = buff1;
  pbuff2 = buff2;
  preqstat = status;
  reqindex = index;
  pfnReadSrc = RefillHook;
  pfnWriteDst = FlushHook;
}

void ProcState::Fail(JobError e) {
  nError.SetFirst(e);
  bFailed = true;
}

void ForwardFilter(ProcState& s, unsigned char* p, uint32_t n, bool first) {
  const unsigned size = SampleSize(s.currOptim);
  if (size == 0 || n == 0) return;
  if (first) {
    // The first sample stays as it is and loads the carries, which equals starting from zero.
    if (n < size) return;
    LoadCarries(s, p);
    p += size;
    n -= size;
  }
  ForEachSample(p, n, size, [&s](unsigned char* q) { DiffSample(s, q); });
}

void InverseFilter(ProcState& s, unsigned char* p, uint32_t n) {
  const unsigned size = SampleSize(s.currOptim);
  if (size == 0 || n == 0) return;
  if (s.bFirstWrite) {
    s.bFirstWrite = false;
    if (n < size) return;  // the whole output is one incomplete sample: nothing was changed
    LoadCarries(s, p);
    p += size;
    n -= size;
  }
  ForEachSample(p, n, size, [&s](unsigned char* q) { SumSample(s, q); });
}

void SwapArray16(void* buf, unsigned long size) {
  auto* p = static_cast<unsigned char*>(buf);
  for (unsigned long k = 0; k + 1 < size; k += 2) std::swap(p[k], p[k + 1]);
}

void ReadSrc(ProcState& s, unsigned char first) {
  const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(zdx::kChunkSize, s.nSrcLeft));
  if (want > 0) {
    const size_t got = std::fread(s.pbuff1, 1, want, s.src);
    s.nSrcLeft -= got;
    if (got != want) s.Fail(JobError::ReadInput);
  }
  s.ibuff1 = 0;
  // The whole chunk is filtered, also past the file's end: bytes there are never handed out,
  // and the low-order bytes of a difference depend only on low-order bytes.
  if (s.modeCompress) ForwardFilter(s, s.pbuff1, zdx::kChunkSize, first != 0);
  ++s.progress;
  if (s.preqstat) s.preqstat->Change(s.reqindex, kStatValue, s.progress, -1);
}

void WriteDst(ProcState& s) {
  if (s.ibuff2 == 0) return;
  if (s.modeCompress) {
    if (uint64_t{s.dstlen} + s.ibuff2 > UINT32_MAX) s.Fail(JobError::InputTooLarge);
    s.dstlen += s.ibuff2;
  } else if (!s.bDiscardOutput) {
    InverseFilter(s, s.pbuff2, s.ibuff2);
  }
  if (!s.bDiscardOutput && !s.bFailed) {
    errno = 0;
    if (std::fwrite(s.pbuff2, 1, s.ibuff2, s.dst) != s.ibuff2)
      s.Fail(WriteErrorFrom(errno));
  }
  s.ibuff2 = 0;
}
