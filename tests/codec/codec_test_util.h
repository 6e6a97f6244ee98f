// Shared helpers of the codec tests: whole-buffer compress and expand over MemoryIO, the one
// round-trip checker, a bit writer for hand-made streams and a few input makers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/codec-internal.h"
#include "codec/codec.h"
#include "memory_io.h"

namespace zdx::test {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes Repeat(size_t n, uint8_t c) { return Bytes(n, c); }
inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline uint32_t Crc(const Bytes& data) {
  uint32_t crc;
  initialiseCRC(crc);
  for (uint8_t b : data) updateCRC(crc, b);
  return getFinalCRC(crc);
}

struct Compressed {
  int ok = 0;
  CodecError error = CodecError::None;
  Bytes stream;
  bool bContractBroken = false;
  uint32_t srccur = 0;
};

inline Compressed CompressBytes(const Bytes& in) {
  MemoryIO io(in);
  Compressed r;
  r.ok = Compress(io, &r.error);
  io.FinalFlush();
  r.stream = std::move(io.out);
  r.bContractBroken = io.bContractBroken;
  r.srccur = io.srccur;
  return r;
}

struct Expanded {
  int ok = 0;
  CodecError error = CodecError::None;
  Bytes out;
  bool bContractBroken = false;
  uint32_t srccur = 0;
};

inline Expanded ExpandBytes(const Bytes& stream, uint32_t dstlen) {
  MemoryIO io(stream, dstlen);
  Expanded r;
  r.ok = Extract(io, &r.error);
  io.FinalFlush();
  r.out = std::move(io.out);
  r.bContractBroken = io.bContractBroken;
  r.srccur = io.srccur;
  return r;
}

// Compresses `in`, checks everything that can be checked about the stream and its expansion,
// and returns the stream.
inline Bytes ExpectRoundTrip(const Bytes& in) {
  const Compressed c = CompressBytes(in);
  EXPECT_EQ(c.ok, 1);
  EXPECT_EQ(c.error, CodecError::None);
  EXPECT_FALSE(c.bContractBroken) << "refill or flush outside a chunk boundary";
  EXPECT_EQ(c.srccur, in.size()) << "the whole source is taken";
  if (c.ok != 1) return {};

  // A stream starts with a block marker, or with the end marker when the input was empty.
  const uint8_t* marker = in.empty() ? kEndMarker : kBlockMarker;
  EXPECT_TRUE(c.stream.size() >= 10 && std::equal(marker, marker + 6, c.stream.begin()));
  // Up to 700,000 bytes always fit one block (the run-length form grows at most by 5/4); its
  // checksum is byte-aligned right after the first marker.
  if (!in.empty() && in.size() <= 700000 && c.stream.size() >= 10) {
    const uint32_t blockCrc = uint32_t{c.stream[6]} << 24 | uint32_t{c.stream[7]} << 16 |
                              uint32_t{c.stream[8]} << 8 | c.stream[9];
    EXPECT_EQ(blockCrc, Crc(in));
  }

  // Bytes after the stream are never read, and the expansion gives back the input exactly.
  Bytes padded = c.stream;
  padded.insert(padded.end(), {0x31, 0x41, 0x59});
  const Expanded x = ExpandBytes(padded, static_cast<uint32_t>(in.size()));
  EXPECT_EQ(x.ok, 1);
  EXPECT_EQ(x.error, CodecError::None);
  EXPECT_FALSE(x.bContractBroken) << "refill or flush outside a chunk boundary";
  EXPECT_EQ(x.srccur, c.stream.size()) << "the reader takes exactly the stream";
  EXPECT_EQ(x.out.size(), in.size());
  EXPECT_TRUE(x.out == in) << "expanded bytes differ from the input";
  return c.stream;
}

// Writes fields most significant bit first, as the stream does; Finish pads with 0 bits.
class BitWriter {
 public:
  void Put(int nBits, uint64_t value) {
    for (int i = nBits - 1; i >= 0; --i) PutBit(static_cast<int>((value >> i) & 1));
  }
  void PutBits(const std::string& bits) {  // "0110", spaces ignored
    for (char ch : bits) {
      if (ch != ' ') PutBit(ch == '1');
    }
  }
  void PutMarker(const uint8_t (&marker)[6]) {
    for (uint8_t b : marker) Put(8, b);
  }
  Bytes Finish() const { return bytes_; }
  size_t BitCount() const { return nBits_; }

 private:
  void PutBit(int bit) {
    if (nBits_ % 8 == 0) bytes_.push_back(0);
    if (bit) bytes_.back() |= static_cast<uint8_t>(0x80u >> (nBits_ % 8));
    ++nBits_;
  }
  Bytes bytes_;
  size_t nBits_ = 0;
};

// A compressor state with its work areas, released at the end of the test.
struct LoadedState {
  CompressState s;
  LoadedState() { EXPECT_EQ(allocateCompressStructures(s), 1); }
  ~LoadedState() { FreeAll(s); }
  LoadedState(const LoadedState&) = delete;
  LoadedState& operator=(const LoadedState&) = delete;
  // Loads the first block of `source` as the compressor does.
  void Load(const Bytes& source) {
    MemoryIO io(source);
    initialiseCRC(s.globalCrc);
    loadAndRLEsource(s, io);
  }
  Bytes Block() const { return Bytes(s.block, s.block + s.last + 1); }
};

// An expander state with its work areas, released at the end of the test.
struct DecodeState {
  ExpandState s;
  DecodeState() { EXPECT_EQ(setDecompressStructureSizes(s), 1); }
  ~DecodeState() { freeDecompressStructures(s); }
  DecodeState(const DecodeState&) = delete;
  DecodeState& operator=(const DecodeState&) = delete;
  // Reads the block marker, block CRC and randomised flag, leaving the reader at origPtr.
  void SkipBlockHeader(ChunkIO& io) {
    for (int i = 0; i < 6; ++i) bsR(s, io, 8);
    s.storedBlockCRC = bsGetUInt32(s, io);
    s.blockRandomised = bsR(s, io, 1) == 1;
  }
};

// An allocator that refuses the n-th request (1 = first) and counts what is outstanding.
struct RefusingAllocator {
  static inline int nCall = 0;
  static inline int nRefuse = 0;
  static inline int nOutstanding = 0;
  static void Reset(int refuse) {
    nCall = 0;
    nRefuse = refuse;
    nOutstanding = 0;
  }
  static void* Alloc(size_t n) {
    if (++nCall == nRefuse) return nullptr;
    ++nOutstanding;
    return std::malloc(n);
  }
  static void Free(void* p) {
    --nOutstanding;
    std::free(p);
  }
};

// Reproducible pseudo-random bytes.
inline Bytes RandomBytes(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t x = seed;
  for (auto& b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace zdx::test
