// The processing state of one job: the chunk transport of the codec plus the files, the
// direction, the delta filter with its carries and the progress posts.
//
// Delta filters (all values little-endian; each field is replaced by its difference from the
// previous sample's field, modulo its width):
//   mode 0, 1: none    mode 2: 1-byte samples    mode 3: 2-byte samples
//   mode 4: 3-byte samples, a 16-bit field (bytes 0-1) and an independent 8-bit field (byte 2)
//   mode 5: 4-byte samples, two 16-bit fields (two interleaved channels)
// The filters work byte by byte, so the stored bytes are the same on any host.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "codec/chunkio.h"
#include "jobs/errors.h"

struct ProcStatus;

// The first failure of a job. A parallel expansion refills on one thread while it flushes on
// another, so either side may record a failure at any time; the first one recorded stays.
class SharedError {
 public:
  SharedError(JobError e = JobError::None) : v_(e) {}  // NOLINT: used as a plain JobError
  SharedError(const SharedError& o) : v_(static_cast<JobError>(o)) {}
  SharedError& operator=(const SharedError& o) {
    v_.store(static_cast<JobError>(o), std::memory_order_relaxed);
    return *this;
  }
  operator JobError() const { return v_.load(std::memory_order_relaxed); }  // NOLINT
  // Records e unless a failure was recorded before.
  void SetFirst(JobError e) {
    JobError none = JobError::None;
    v_.compare_exchange_strong(none, e, std::memory_order_relaxed);
  }

 private:
  std::atomic<JobError> v_;
};

struct ProcState : ChunkIO {
  std::FILE* src = nullptr;
  std::FILE* dst = nullptr;
  bool modeCompress = false;
  uint8_t currOptim = 0;    // filter mode being applied or undone
  bool bFirstWrite = false; // expanding: the next flush is the output's first
  uint8_t bp = 0;           // carry of the 8-bit field
  uint16_t wp = 0;          // carry of the first 16-bit field
  uint16_t wp2 = 0;         // carry of the second 16-bit field
  int32_t progress = 0;
  int32_t reqindex = 0;
  ProcStatus* preqstat = nullptr;

  // Ours: how many bytes `src` still has to deliver from its current position, so that a read
  // that comes up short fails the job instead of feeding stale buffer bytes to the codec.
  uint64_t nSrcLeft = 0;
  // Ours: when set, WriteDst only counts bytes (trial compressions, verification).
  bool bDiscardOutput = false;
  // Ours: the first failure of a refill or flush.
  SharedError nError = JobError::None;

  // Sets every cursor and carry to its start value and installs the ReadSrc/WriteDst hooks.
  void Reset(unsigned char* buff1, unsigned char* buff2);
  // Records the first failure and tells the codec to stop.
  void Fail(JobError e);
};

// Reads the next chunk of `src` into pbuff1, forward-filters it when compressing, posts progress.
// `first` marks the first chunk of a pass, whose first sample loads the carries.
void ReadSrc(ProcState& s, unsigned char first);

// Flushes the ibuff2 bytes of pbuff2 to `dst`, undoing the filter first when expanding.
void WriteDst(ProcState& s);

// Exchanges bytes 2k and 2k+1 for every k below size / 2.
void SwapArray16(void* buf, unsigned long size);

// The filters over a buffer, with the carries of `s`. Exposed for tests.
void ForwardFilter(ProcState& s, unsigned char* p, uint32_t n, bool first);
void InverseFilter(ProcState& s, unsigned char* p, uint32_t n);
