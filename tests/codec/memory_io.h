// An in-memory job for the codec: the source is a byte vector handed out in chunks, the output is
// collected in a vector (or only counted). The hooks also check the transport contract: a refill
// only when the source chunk is used up, a flush only when the output chunk is full.
// Used by the codec tests and the fuzz targets; depends on nothing but the codec's headers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/chunkio.h"
#include "codec/format.h"

struct MemoryIO : ChunkIO {
  std::vector<uint8_t> src;
  size_t srcPos = 0;  // next source byte to hand to a refill
  std::vector<uint8_t> out;
  bool bKeepOutput = true;  // false: count the output only
  uint64_t nOutput = 0;     // bytes flushed, including the final flush

  int nRefills = 0;  // refills after the first chunk
  int nFlushes = 0;  // flushes from inside the codec
  bool bContractBroken = false;
  int nFailAtRefill = -1;  // the refill with this number (1 = first) fails
  int nFailAtFlush = -1;   // the flush with this number (1 = first) fails

  // srclen is the source's size; dstlen (the output bound when expanding) is outputLimit. The
  // chunk buffers are the object's own unless the caller lends two of kChunkSize bytes.
  explicit MemoryIO(std::vector<uint8_t> source, uint32_t outputLimit = 0, uint8_t* buff1 = nullptr,
                    uint8_t* buff2 = nullptr)
      : src(std::move(source)) {
    if (buff1 == nullptr || buff2 == nullptr) {
      chunk1_.reset(new uint8_t[zdx::kChunkSize]);
      chunk2_.reset(new uint8_t[zdx::kChunkSize]);
      std::memset(chunk1_.get(), 0xA5, zdx::kChunkSize);  // stale content past the source's end
      buff1 = chunk1_.get();
      buff2 = chunk2_.get();
    }
    pbuff1 = buff1;
    pbuff2 = buff2;
    srclen = static_cast<uint32_t>(src.size());
    dstlen = outputLimit;
    pfnReadSrc = &ReadSrcHook;
    pfnWriteDst = &WriteDstHook;
    LoadChunk();  // the job reads the first chunk before it calls the codec
  }
  MemoryIO(const MemoryIO&) = delete;
  MemoryIO& operator=(const MemoryIO&) = delete;

  // The job's final flush of the partial output chunk.
  void FinalFlush() { Drain(); }

 private:
  void LoadChunk() {
    const size_t n = std::min<size_t>(zdx::kChunkSize, src.size() - std::min(srcPos, src.size()));
    if (n > 0) std::memcpy(pbuff1, src.data() + srcPos, n);
    srcPos += n;
    ibuff1 = 0;
  }
  void Drain() {
    if (bKeepOutput) out.insert(out.end(), pbuff2, pbuff2 + ibuff2);
    nOutput += ibuff2;
    ibuff2 = 0;
  }
  static void ReadSrcHook(ChunkIO& io) {
    auto& m = static_cast<MemoryIO&>(io);
    if (m.ibuff1 != zdx::kChunkSize) m.bContractBroken = true;
    if (++m.nRefills == m.nFailAtRefill) m.bFailed = true;
    m.LoadChunk();
  }
  static void WriteDstHook(ChunkIO& io) {
    auto& m = static_cast<MemoryIO&>(io);
    if (m.ibuff2 != zdx::kChunkSize) m.bContractBroken = true;
    if (++m.nFlushes == m.nFailAtFlush) m.bFailed = true;
    m.Drain();
  }

  std::unique_ptr<uint8_t[]> chunk1_;
  std::unique_ptr<uint8_t[]> chunk2_;
};
