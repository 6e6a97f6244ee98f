// What the fuzz targets and the seed maker share: how fuzz bytes become codec inputs, and a
// recycling allocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace zdx::fuzz {

// Expander input: 4 bytes of dstlen, little-endian, then the stream.
inline constexpr size_t kDstlenBytes = 4;

inline uint32_t DstlenOf(const uint8_t* data) {
  return uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 |
         uint32_t{data[3]} << 24;
}

// Round-trip input: a mode byte, then the payload. With bit 7 of the mode set the payload is
// repeated up to (mode & 0x7F) * 64 bytes, so short inputs also reach the bucket sort, the
// effort bound and randomisation; otherwise the payload is used as it is.
inline std::vector<uint8_t> RoundTripInput(const uint8_t* data, size_t size) {
  if (size == 0) return {};
  const uint8_t mode = data[0];
  std::vector<uint8_t> payload(data + 1, data + size);
  if ((mode & 0x80) == 0 || payload.empty()) return payload;
  const size_t n = static_cast<size_t>(mode & 0x7F) * 64;
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = payload[i % payload.size()];
  return out;
}

// Hands the same few blocks out again instead of mapping fresh megabytes on every run, which
// would cost far more than the run itself. The blocks keep their sanitizer red zones, so reads
// and writes past an area's end are still caught.
struct RecycledBlock {
  void* p;
  size_t n;
  bool bBusy;
};
inline RecycledBlock recycled[8] = {};

struct Recycler {
  static void* Alloc(size_t n) {
    for (RecycledBlock& b : recycled) {
      if (!b.bBusy && b.p != nullptr && b.n == n) {
        b.bBusy = true;
        return b.p;
      }
    }
    for (RecycledBlock& b : recycled) {
      if (b.p == nullptr) {
        b = RecycledBlock{std::malloc(n), n, true};
        return b.p;
      }
    }
    return std::malloc(n);
  }
  static void Free(void* p) {
    for (RecycledBlock& b : recycled) {
      if (b.p == p) {
        b.bBusy = false;
        return;
      }
    }
    std::free(p);
  }
};

// Chunk buffers kept for the whole fuzzing session.
inline uint8_t* ChunkBuffer(int which) {
  static std::vector<uint8_t> buffers[4];
  std::vector<uint8_t>& b = buffers[which];
  if (b.empty()) b.resize(0x30000);
  return b.data();
}

}  // namespace zdx::fuzz
