// Bit writer and bit reader over the chunk buffers. The per-bit work is inline in
// codec-internal.h; these are the calls made a few times per block.
#include "codec/codec-internal.h"

namespace zdx {

void bsSetStream(CompressState& s, uint8_t writing) {
  s.bsBuff = 0;
  s.bsLive = 0;
  s.bsWriting = writing != 0;
}

void bsPutUInt32(CompressState& s, ChunkIO& io, uint32_t v) {
  bsW(s, io, 8, (v >> 24) & 0xFFu);
  bsW(s, io, 8, (v >> 16) & 0xFFu);
  bsW(s, io, 8, (v >> 8) & 0xFFu);
  bsW(s, io, 8, v & 0xFFu);
}

// Every pending bit goes out; the unused low bits of the last byte are 0, because bits only ever
// enter the accumulator by OR into zeros.
void bsFinishedWithStream(CompressState& s, ChunkIO& io) {
  if (!s.bsWriting) return;
  while (s.bsLive > 0) {
    PutChToBuff2U(io, static_cast<int>(s.bsBuff >> 24));
    s.bsBuff <<= 8;
    s.bsLive -= 8;
  }
}

uint32_t bsGetUInt32(ExpandState& s, ChunkIO& io) {
  uint32_t u = bsR(s, io, 8);
  u = (u << 8) | bsR(s, io, 8);
  u = (u << 8) | bsR(s, io, 8);
  u = (u << 8) | bsR(s, io, 8);
  return u;
}

}  // namespace zdx
