// Hostile streams into the expander: whatever the bytes and the output bound, Extract must stay
// in bounds, terminate, keep the chunk contract and never put out more than dstlen bytes.
#include <cstdlib>

#include "codec/codec-internal.h"
#include "fuzz/fuzz_input.h"
#include "tests/codec/memory_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zdx;
  if (size < fuzz::kDstlenBytes) return 0;
  const uint32_t dstlen = fuzz::DstlenOf(data);
  MemoryIO io(std::vector<uint8_t>(data + fuzz::kDstlenBytes, data + size), dstlen,
              fuzz::ChunkBuffer(0), fuzz::ChunkBuffer(1));
  io.bKeepOutput = false;
  ExpandState s;
  s.pfnAlloc = &fuzz::Recycler::Alloc;
  s.pfnFree = &fuzz::Recycler::Free;
  const int ok = Extract(s, io);
  io.FinalFlush();
  if (io.bContractBroken) std::abort();
  if (io.nOutput > dstlen || io.dstcur > dstlen) std::abort();
  if ((ok == 1) != (s.error == CodecError::None)) std::abort();
  if (ok == 0 && s.error != CodecError::Damaged) std::abort();  // memory is there, hooks never fail
  if (s.ll8 != nullptr || s.tt != nullptr) std::abort();        // released on every path
  return 0;
}
