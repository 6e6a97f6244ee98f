#include "support/xlock.h"

#include <cerrno>
#include <ctime>

#include "support/xthread.h"

CXLock::CXLock() : bCreated(false), mutex(), pGuarded(nullptr), bGuard(false), bHolding(false) {}

CXLock::CXLock(CXLock* other)
    : bCreated(false), mutex(), pGuarded(other), bGuard(true), bHolding(false) {
  if (other != nullptr && other->bCreated && pthread_mutex_lock(&other->mutex) == 0) {
    bHolding = true;
  }
}

CXLock::~CXLock() { Destroy(); }

bool CXLock::Create() {
  if (bGuard) return false;
  Destroy();
  if (pthread_mutex_init(&mutex, nullptr) != 0) return false;
  bCreated = true;
  return true;
}

void CXLock::Lock() {
  if (bCreated) pthread_mutex_lock(&mutex);
}

void CXLock::Unlock() {
  if (bCreated) pthread_mutex_unlock(&mutex);
}

void CXLock::Destroy() {
  if (bGuard) {
    // Keyed on what this guard took, not on the guarded lock's current state: a lock created
    // after the guard was built was never taken by it, and a second Destroy() (the destructor
    // after an explicit one) must not release someone else's hold.
    if (bHolding) {
      bHolding = false;
      pthread_mutex_unlock(&pGuarded->mutex);
    }
    return;
  }
  if (!bCreated) return;
  // Wait for the current holder, if any, before the mutex is retired.
  pthread_mutex_lock(&mutex);
  pthread_mutex_unlock(&mutex);
  pthread_mutex_destroy(&mutex);
  bCreated = false;
}

void SleepCurrentThread(long ms) {
  if (ms <= 0) ms = 1;
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // A signal delivered to the thread cuts the sleep short; sleep the rest.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

long MapPriority(long priority, long prMin, long prMax) {
  if (priority < -15) priority = -15;
  if (priority > 15) priority = 15;
  return prMin + ((prMax - prMin) * (priority + 15)) / 30;
}

bool SetCurrentPriority(long priority) {
  int policy = 0;
  sched_param param{};
  if (pthread_getschedparam(pthread_self(), &policy, &param) != 0) return false;
  param.sched_priority = static_cast<int>(MapPriority(priority, CXThread::sPrMin, CXThread::sPrMax));
  return pthread_setschedparam(pthread_self(), policy, &param) == 0;
}
