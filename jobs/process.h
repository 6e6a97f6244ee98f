// The job driver: carries out one request from start to end on the worker thread.
#pragma once

#include "jobs/errors.h"

class CStructArray;
class CXLock;
struct ProcStatus;

struct JobOptions {
  // Replace an existing output (the desktop app's way). When false the job fails with
  // OutputExists instead, and never replaces a file that appears while it runs.
  bool bReplace = true;
  // Expand containers fully, checking every checksum and the recorded size, but write nothing.
  // Other files fail with NotContainer.
  bool bVerifyOnly = false;
};

// The two chunk buffers of kChunkSize bytes, allocated once by `main` before the worker starts
// and freed after it has been joined.
extern unsigned char* pbuff1;
extern unsigned char* pbuff2;

// Carries out the request at `index` of `array` (a CStructArray of Request in state 0): marks it
// "Process", compresses or expands its file, and stores the final state ("Compressed",
// "Expanded" or "Error" with its reason) and result size. The array is touched only under `lock`;
// every change of the row and the job's progress are posted to `status`.
//
// Outputs are written to a temporary file beside the target and renamed over it only when the
// job succeeds, with the input's permission bits and modification time; a failed job leaves no
// output behind and an existing file of the target's name as it was. The input is never changed.
void Process(CStructArray* array, long index, CXLock* lock, ProcStatus* status,
             const JobOptions& options, unsigned char* buff1, unsigned char* buff2);

// The same with the default options and the global chunk buffers.
void Process(CStructArray* array, long index, CXLock* lock, ProcStatus* status);

// The worker function of `g_thrd`: processes every request of `g_requests` in state 0, in order,
// until none is left, then returns 1. `arg` may point to the JobOptions to use; null means the
// defaults.
unsigned char ProcessThrd(void* arg);
