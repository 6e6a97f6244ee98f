// Hostile streams into the expander: whatever the bytes and the output bound, Extract must stay
// in bounds, terminate, keep the chunk contract and never put out more than dstlen bytes, on one
// thread and on several alike.
#include <cstdlib>

#include "codec/codec-internal.h"
#include "fuzz/fuzz_input.h"
#include "tests/codec/memory_io.h"

namespace {

struct Outcome {
  int ok = 0;
  CodecError error = CodecError::None;
  uint64_t nOutput = 0;
  std::vector<uint8_t> out;  // kept only when the bound is small
};

// Runs one expansion, on one thread (nThreads 1) or on the threaded path, and checks what must
// hold on both.
Outcome Expand(const uint8_t* data, size_t size, unsigned nThreads) {
  using namespace zdx;
  const uint32_t dstlen = fuzz::DstlenOf(data);
  MemoryIO io(std::vector<uint8_t>(data + fuzz::kDstlenBytes, data + size), dstlen,
              fuzz::ChunkBuffer(0), fuzz::ChunkBuffer(1));
  io.bKeepOutput = dstlen <= (1u << 20);
  ExpandState s;
  s.pfnAlloc = &fuzz::Recycler::Alloc;
  s.pfnFree = &fuzz::Recycler::Free;
  Outcome r;
  r.ok = nThreads == 1 ? Extract(s, io) : extractParallel(s, io, nThreads);
  io.FinalFlush();
  if (io.bContractBroken) std::abort();
  if (io.nOutput > dstlen || io.dstcur > dstlen) std::abort();
  if ((r.ok == 1) != (s.error == CodecError::None)) std::abort();
  if (r.ok == 0 && s.error != CodecError::Damaged) std::abort();  // memory is there, hooks never fail
  if (s.ll8 != nullptr || s.tt != nullptr) std::abort();        // released on every path
  r.error = s.error;
  r.nOutput = io.nOutput;
  r.out = std::move(io.out);
  return r;
}

}  // namespace

// The threaded path must agree with the one-thread path on every stream: the same outcome and the
// same bytes put out before it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < zdx::fuzz::kDstlenBytes) return 0;
  const Outcome one = Expand(data, size, 1);
  const Outcome two = Expand(data, size, 2);
  if (two.ok != one.ok || two.error != one.error || two.nOutput != one.nOutput || two.out != one.out)
    std::abort();
  return 0;
}
