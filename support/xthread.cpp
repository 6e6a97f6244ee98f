#include "support/xthread.h"

#include <sched.h>

#include <cstdint>

#include "support/xlock.h"

// The priority range is read during static initialisation. Nothing uses it before main: only
// a started thread reads it (SetCurrentPriority), so its place in the initialisation order
// relative to the other process-wide objects does not matter.
int CXThread::sPrMin = sched_get_priority_min(0);
int CXThread::sPrMax = sched_get_priority_max(0);

// --- CXEvent ---

bool CXEvent::Create() {
  Destroy();
  bSignaled = false;
  if (pthread_mutex_init(&mutex, nullptr) != 0) return false;
  if (pthread_cond_init(&cond, nullptr) != 0) {
    pthread_mutex_destroy(&mutex);
    return false;
  }
  bCreated = true;
  return true;
}

void CXEvent::Destroy() {
  if (!bCreated) return;
  bCreated = false;
  pthread_cond_destroy(&cond);
  pthread_mutex_destroy(&mutex);
}

void CXEvent::Set() {
  if (!bCreated) return;
  if (pthread_mutex_lock(&mutex) != 0) return;
  bSignaled = true;
  pthread_mutex_unlock(&mutex);
  pthread_cond_signal(&cond);
}

void CXEvent::Wait() {
  if (!bCreated) return;
  if (pthread_mutex_lock(&mutex) != 0) return;
  while (!bSignaled) {
    if (pthread_cond_wait(&cond, &mutex) != 0) {
      pthread_mutex_unlock(&mutex);
      return;
    }
  }
  bSignaled = false;
  pthread_mutex_unlock(&mutex);
}

// --- CXThread ---

unsigned char CXThread::ExitThreadFunc(void*) { return 0; }

CXThread::CXThread()
    : bRunning(false),
      hThread(),
      pArg(nullptr),
      event(),
      funcs(sizeof(FuncElem), 4),
      bStop(false),
      nPriority(0) {}

CXThread::~CXThread() {
  Destroy();
  funcs.Clear();
  event.Destroy();
}

long CXThread::AddFunction(ThreadFn fn, unsigned char runAtStart) {
  if (fn == nullptr || bRunning) return 0;
  if (funcs.nCount == 0) {
    FuncElem exitElem;
    exitElem.pFunc = ExitThreadFunc;
    if (!funcs.Insert(0, 1, &exitElem)) return 0;
  }
  FuncElem elem;
  elem.pFunc = fn;
  elem.nPending = runAtStart != 0 ? 1 : 0;
  const long index = funcs.nCount;
  if (!funcs.Insert(index, 1, &elem)) return 0;
  return index;
}

bool CXThread::Create(void* arg, long priority) {
  if (bRunning || bStop.load() || funcs.nCount == 0) return false;
  if (!event.Create()) return false;
  pArg = arg;
  nPriority = static_cast<int32_t>(priority < -15 ? -15 : priority > 15 ? 15 : priority);
  bRunning = pthread_create(&hThread, nullptr, ThreadProc, this) == 0;
  return bRunning;
}

int CXThread::Signal(long index) {
  if (index < 0 || index >= funcs.nCount) return 0;
  // Relaxed is enough: the raise is sequenced before Set(), whose mutex hands it to the thread
  // that returns from the matching Wait(); a thread that misses it mid-pass sees the pending
  // signal and makes another pass.
  funcs.At<FuncElem>(index)->Pending().fetch_add(1, std::memory_order_relaxed);
  event.Set();
  return 1;
}

void CXThread::Destroy() {
  bStop.store(true);
  if (!bRunning) return;
  Signal(0);
  bRunning = false;
  pthread_join(hThread, nullptr);
}

void* CXThread::ThreadProc(void* self) {
  const long result = static_cast<CXThread*>(self)->ThreadFunc();
  return reinterpret_cast<void*>(static_cast<intptr_t>(result));
}

long CXThread::ThreadFunc() {
  // The table cannot change while the thread runs, so its size and records are read without a
  // lock and the record addresses stay valid.
  const long count = funcs.nCount;
  SetCurrentPriority(nPriority);

  while (!bStop.load()) {
    for (long i = 0; i < count && !bStop.load(); ++i) {
      FuncElem* elem = funcs.At<FuncElem>(i);
      // Only this thread lowers the count, so a positive value read here stays positive until
      // the decrement below.
      while (elem->Pending().load(std::memory_order_relaxed) > 0 && !bStop.load()) {
        elem->Pending().fetch_sub(1, std::memory_order_relaxed);
        if (elem->pFunc(pArg) == 0) bStop.store(true);
      }
    }
    if (!bStop.load()) event.Wait();
  }
  return 0;
}
