// Block loading: source bytes become runs, and runs the block's run-length form.
#include "codec/codec-internal.h"

namespace zdx {

namespace {
constexpr uint32_t kEndPairByte = 257;
constexpr uint32_t kEndPair = (1u << 16) | kEndPairByte;
}  // namespace

// Reads the next run of equal source bytes (at most kMaxRun), adds it to the block checksum and
// pushes back the byte that ended it. Returns (run length << 16) | byte, or the end pair.
uint32_t getRLEpair(CompressState& s, ChunkIO& io) {
  const int c = GetChFromBuff1U(io);
  if (c == -1) return kEndPair;
  int x;
  uint32_t n = 0;
  do {
    x = GetChFromBuff1U(io);
    ++n;
  } while (x == c && n < static_cast<uint32_t>(kMaxRun));
  // The byte that ended the run starts the next pair (a run cut at its maximum length goes on as
  // the next pair); at the end of the source nothing is pushed back, so the end stays reported.
  if (x != -1) UnGetChFromBuff1(io, x);
  for (uint32_t i = 0; i < n; ++i) updateCRC(s.globalCrc, static_cast<uint8_t>(c));
  return (n << 16) | static_cast<uint32_t>(c);
}

// Fills block[0..last] with the next block in run-length form. A pair is never split, so the
// block may end up to 5 bytes past the load limit. last = -1 on return: the source is exhausted.
void loadAndRLEsource(CompressState& s, ChunkIO& io) {
  s.last = -1;
  for (bool& f : s.inUse) f = false;
  unsigned char* const block = s.block;
  while (s.last < kBlockLoadLimit) {
    const uint32_t pair = getRLEpair(s, io);
    if (pair == kEndPair) break;
    const auto c = static_cast<unsigned char>(pair & 0xFFFFu);
    const uint32_t n = pair >> 16;
    s.inUse[c] = true;
    if (n <= 3) {
      for (uint32_t i = 0; i < n; ++i) block[++s.last] = c;
    } else {
      const auto count = static_cast<unsigned char>(n - 4);
      block[++s.last] = c;
      block[++s.last] = c;
      block[++s.last] = c;
      block[++s.last] = c;
      block[++s.last] = count;
      s.inUse[count] = true;
    }
  }
}

}  // namespace zdx
