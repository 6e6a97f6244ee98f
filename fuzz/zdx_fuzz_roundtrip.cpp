// Arbitrary data through the compressor and back: the expansion must give the same bytes, and
// both directions must keep the chunk contract.
#include <cstdlib>

#include "codec/codec-internal.h"
#include "fuzz/fuzz_input.h"
#include "tests/codec/memory_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zdx;
  const std::vector<uint8_t> input = fuzz::RoundTripInput(data, size);

  MemoryIO c(input, 0, fuzz::ChunkBuffer(0), fuzz::ChunkBuffer(1));
  CompressState cs;
  cs.pfnAlloc = &fuzz::Recycler::Alloc;
  cs.pfnFree = &fuzz::Recycler::Free;
  if (Compress(cs, c) != 1) std::abort();
  c.FinalFlush();
  if (c.bContractBroken || c.srccur != input.size()) std::abort();

  MemoryIO x(c.out, static_cast<uint32_t>(input.size()), fuzz::ChunkBuffer(2),
             fuzz::ChunkBuffer(3));
  ExpandState xs;
  xs.pfnAlloc = &fuzz::Recycler::Alloc;
  xs.pfnFree = &fuzz::Recycler::Free;
  if (Extract(xs, x) != 1) std::abort();
  x.FinalFlush();
  if (x.bContractBroken || x.out != input || x.srccur != c.out.size()) std::abort();
  return 0;
}
