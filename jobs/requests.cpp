#include "jobs/requests.h"

#include <cstring>

// The process-wide objects, defined in the order they are built before main: the state strings,
// the request array, its lock, the worker thread, the mailbox. They are destroyed in the
// opposite order at exit, so the worker thread is stopped and joined while the array and lock
// it uses still exist. (The platform priority range is read in support/xthread.cpp.)
const char* const cfStatusString[kStateCount] = {"Wait",       "Process", "Expanded",
                                                 "Compressed", "Exists",  "Error"};
CStructArray g_requests(sizeof(Request), 16);
CXLock g_lock;
CXThread g_thrd;
ProcStatus g_stat;

Request& Request::operator=(const Request& other) {
  if (this == &other) return *this;
  std::memcpy(szPath, other.szPath, sizeof szPath);
  SetState(other.State());
  SetSrcSize(other.SrcSize());
  SetDstSize(other.DstSize());
  SetReason(other.Reason());
  return *this;
}

void ProcStatus::Change(long index, int flags, long value, long maximum) {
  if (bQuit.load()) {
    nFlags.store(0, std::memory_order_release);
    return;
  }
  while (nFlags.load(std::memory_order_acquire) != 0) {
    pfnSleep(kStatWaitMs);
    if (bQuit.load()) return;
  }
  nIndex = static_cast<int32_t>(index);
  if (flags & kStatValue) nValue = static_cast<int32_t>(value);
  if (flags & kStatMax) nMax = static_cast<int32_t>(maximum);
  nFlags.store(static_cast<uint32_t>(flags), std::memory_order_release);
}

bool ProcStatus::Take(Post& out) {
  const uint32_t flags = nFlags.load(std::memory_order_acquire);
  if (flags == 0 || bQuit.load()) return false;
  out.nFlags = flags;
  out.nIndex = nIndex;
  out.nValue = nValue;
  out.nMax = nMax;
  nFlags.store(0, std::memory_order_release);
  return true;
}
