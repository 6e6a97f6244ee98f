// Linked into the single-threaded test programs: their codec calls take the one-thread path,
// so that every test that runs threads sits in tests/threads, which also runs under
// ThreadSanitizer.
#include "codec/codec.h"

namespace {
const bool kOneThread = [] {
  SetEngineThreads(1);
  return true;
}();
}  // namespace
