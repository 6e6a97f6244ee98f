// The block codec: turns a byte source into a compressed stream and back.
//
// Both entry points work on a ChunkIO (codec/chunkio.h) that the caller has set up, and move
// bytes only through its chunk buffers: the source is read through the getters' steps, so pbuff1
// is refilled (pfnReadSrc) exactly when ibuff1 reaches kChunkSize, and output is written through
// the putters' steps, so pbuff2 is flushed (pfnWriteDst) exactly when ibuff2 reaches kChunkSize.
// The last, partly filled output chunk (ibuff2 bytes) is left in pbuff2 for the caller.
//
// Each call is self-contained: it obtains its work memory on entry and releases it before it
// returns, whatever the outcome, and keeps no state between calls. Calls on different ChunkIO
// objects may run at the same time on different threads. Nothing throws.
//
// The stream format is described in docs/format.md.
#pragma once

#include <cstdint>

#include "codec/chunkio.h"

// Why a codec call returned 0.
enum class CodecError : uint8_t {
  None,      // success
  NoMemory,  // work memory was refused: at the start, before anything was written, or, on
             // adversarial input, when a sort's pending ranges or a coded block outgrew theirs
  Damaged,   // the stream is not a valid stream (bad marker, table, code, size or checksum)
  Io,        // a refill or flush hook set io.bFailed
};

// Compresses the whole source into one stream.
//
// Preconditions: pbuff1 holds the first source chunk (ibuff1 = 0), srclen is the number of
// source bytes to take and srccur = 0; pbuff2 is ready for output (ibuff2 = 0, dstcur = 0). Both
// hooks are set. The push-back slot (b_unget) is cleared here.
// Returns 1 when the complete stream was produced. Returns 0 when the work memory (about 6.6 MB)
// was refused, before anything was written, or when a hook set io.bFailed: the compressor then
// stops at the next block boundary at the latest, leaving an incomplete stream.
// Cost: about 6.6 MB of heap (more only for the sort's pending ranges on adversarial blocks)
// plus 52 KB of stack; time roughly linear in the input, with a bounded first sorting attempt
// per block and an unbounded second one on very repetitive blocks.
int Compress(ChunkIO& io, CodecError* pError = nullptr);

// Expands one stream, checking every block checksum and the combined checksum.
//
// Preconditions: pbuff1 holds the first chunk of the stream (ibuff1 = 0), srclen is the stream's
// length and srccur = 0; dstlen is the largest number of bytes to put out and dstcur = ibuff2 = 0.
// Output beyond dstlen is dropped (still checksummed); a stream holding fewer bytes than dstlen
// still succeeds, so the caller compares dstcur with the size it expects.
// Returns 1 when the end marker was reached with every checksum good. Returns 0 on refused memory
// (about 4.5 MB), on any damage, or when a hook set io.bFailed. Corrupt or hostile input never
// makes it read or write out of bounds or loop without consuming input; the bytes of the blocks
// before the failing one, and of the failing block up to the failure, have already been put out.
// A stream that ends early is read on as 1-bits and fails at the next marker or checksum.
// Bytes after the stream's last byte are never read.
// Cost: about 4.5 MB of heap plus 70 KB of stack; time linear in the output.
int Extract(ChunkIO& io, CodecError* pError = nullptr);

// How many threads the engine uses, for every codec call and job from now on: 0 (the default)
// means one per core, 1 the single-threaded path. The output bytes are the same for any count.
// Compress then sorts and codes several blocks at once, each in its own work memory (about
// 6.6 MB per thread); Extract decodes the next block while the current one is put out (about
// 3.6 MB more). Source reads and output flushes stay in order: a parallel Extract refills on a
// thread of its own while it flushes on the calling thread, so the two hooks must not share
// state other than io.bFailed.
void SetEngineThreads(unsigned n);
// The thread count in effect (at least 1).
unsigned EngineThreads();
