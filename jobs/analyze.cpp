#include "jobs/analyze.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "codec/codec.h"
#include "codec/parallel.h"
#include "jobs/requests.h"

namespace {

constexpr unsigned kTrials = zdx::kLastTrialMode - zdx::kFirstTrialMode + 1;
// A trial takes its source from its own copy of the first chunk and never needs a refill.
static_assert(zdx::kTrialLength < zdx::kChunkSize);

// One trial compression: the first chunk filtered with its mode, and an output that only counts.
struct Trial : ChunkIO {
  // Only the first kTrialLength bytes are ever taken, and a filtered byte depends only on the
  // bytes before it, so the rest of the chunk is left out.
  unsigned char in[zdx::kTrialLength];
  unsigned char out[zdx::kChunkSize];
  bool ran = false;
  zdx::Task task;

  static void Refill(ChunkIO& io) { io.ibuff1 = 0; }
  static void Count(ChunkIO& io) {
    io.dstlen += io.ibuff2;
    io.ibuff2 = 0;
  }
  static void Run(void* arg) {
    Trial& t = *static_cast<Trial*>(arg);
    t.ran = Compress(t) == 1;
  }
};

// The first chunk is read once; each trial compresses its own filtered copy. On several threads
// the trials run side by side; on one, a pool without threads runs each as it is submitted.
bool AnalyzeTrials(ProcState& s) {
  const uint32_t trialLength = std::min(s.srclen, zdx::kTrialLength);
  std::unique_ptr<Trial[]> trials(new (std::nothrow) Trial[kTrials]);
  if (!trials) {
    s.Fail(JobError::NoMemory);
    return false;
  }
  // The first chunk, read once as each trial would read it.
  s.currOptim = 0;  // the chunk stays as it is in the file
  ReadSrc(s, 1);    // posts the first step, as the first trial's read does
  if (std::fseek(s.src, 0, SEEK_SET) != 0) s.Fail(JobError::ReadInput);
  if (s.bFailed) return false;

  zdx::TaskPool pool(EngineThreads() > 1 ? std::min(EngineThreads(), kTrials) : 0);
  for (unsigned i = 0; i < kTrials; ++i) {
    Trial& t = trials[i];
    std::memcpy(t.in, s.pbuff1, zdx::kTrialLength);
    ProcState filter;
    filter.currOptim = static_cast<uint8_t>(zdx::kFirstTrialMode + i);
    ForwardFilter(filter, t.in, zdx::kTrialLength, true);
    t.pbuff1 = t.in;
    t.pbuff2 = t.out;
    t.srclen = trialLength;
    t.pfnReadSrc = &Trial::Refill;
    t.pfnWriteDst = &Trial::Count;
    t.task.run = &Trial::Run;
    t.task.arg = &t;
    pool.Submit(t.task);
    if (i == 0) continue;  // its step was the read
    ++s.progress;
    if (s.preqstat) s.preqstat->Change(s.reqindex, kStatValue, s.progress, -1);
  }
  unsigned best = 0;
  uint32_t bestSize = 0;
  for (unsigned i = 0; i < kTrials; ++i) {
    Trial& t = trials[i];
    pool.Wait(t.task);
    const uint32_t size = t.dstlen + t.ibuff2;
    if (t.ran && (best == 0 || size <= bestSize)) {
      best = zdx::kFirstTrialMode + i;
      bestSize = size;
    }
    ++s.progress;
    if (s.preqstat) s.preqstat->Change(s.reqindex, kStatValue, s.progress, -1);
  }
  s.ibuff1 = 0;
  if (best == 0) {
    s.Fail(JobError::NoMemory);
    return false;
  }
  s.currOptim = static_cast<uint8_t>(best);
  return true;
}

}  // namespace

bool Analyze(ProcState& s) {
  const uint64_t savedLeft = s.nSrcLeft;
  const bool ok = AnalyzeTrials(s);
  s.nSrcLeft = savedLeft;
  return ok;
}
