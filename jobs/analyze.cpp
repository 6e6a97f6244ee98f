#include "jobs/analyze.h"

#include <algorithm>

#include "codec/codec.h"
#include "jobs/requests.h"

bool Analyze(ProcState& s) {
  const uint32_t savedSrclen = s.srclen;
  const uint64_t savedLeft = s.nSrcLeft;
  const uint32_t trialLength = std::min(s.srclen, zdx::kTrialLength);
  uint32_t sizes[zdx::kLastTrialMode + 1] = {};
  bool ran[zdx::kLastTrialMode + 1] = {};

  s.bDiscardOutput = true;
  for (unsigned m = zdx::kFirstTrialMode; m <= zdx::kLastTrialMode; ++m) {
    s.currOptim = static_cast<uint8_t>(m);
    ReadSrc(s, 1);
    s.srclen = trialLength;
    if (std::fseek(s.src, 0, SEEK_SET) != 0) s.Fail(JobError::ReadInput);
    s.nSrcLeft = savedLeft;
    if (s.bFailed) break;

    ran[m] = Compress(s) == 1 && !s.bFailed;
    sizes[m] = s.dstlen + s.ibuff2;  // flushed (counted) bytes plus what is still buffered
    s.dstlen = s.dstcur = s.srccur = s.ibuff2 = s.ibuff1 = 0;

    ++s.progress;
    if (s.preqstat) s.preqstat->Change(s.reqindex, kStatValue, s.progress, -1);
  }
  s.bDiscardOutput = false;
  s.srclen = savedSrclen;
  if (s.bFailed) return false;

  unsigned best = 0;
  for (unsigned m = zdx::kFirstTrialMode; m <= zdx::kLastTrialMode; ++m)
    if (ran[m] && (best == 0 || sizes[m] <= sizes[best])) best = m;
  if (best == 0) {
    s.Fail(JobError::NoMemory);
    return false;
  }
  s.currOptim = static_cast<uint8_t>(best);
  return true;
}
