// A mutex that doubles as a scoped guard, a millisecond sleep, and the mapping of a portable
// thread priority onto the platform's scheduling priorities.
#pragma once

#include <pthread.h>

// Plain non-recursive mutex. A CXLock has one of two roles, fixed at construction:
//
// - Owning lock, built with no argument: has no mutex until Create() succeeds; Lock() and
//   Unlock() act on its own mutex and do nothing while it is not created.
// - Guard, built on another CXLock: locks that lock's mutex at construction (blocking until it
//   is free) and releases it in Destroy(), which the destructor calls. It releases only what it
//   took, and only once. Lock() and Unlock() on a guard do nothing; Create() fails on it.
//
// A thread that holds a lock must not lock it again, through a guard or otherwise.
class CXLock {
 public:
  CXLock();
  // Guard on `other`. Holds nothing when `other` is null or not created.
  explicit CXLock(CXLock* other);
  virtual ~CXLock();

  CXLock(const CXLock&) = delete;
  CXLock& operator=(const CXLock&) = delete;

  // Owning lock: retires any mutex it already has, then initialises a new one with default
  // attributes. True on success. Always false on a guard.
  bool Create();
  void Lock();
  void Unlock();
  // Guard: releases the guarded lock if this guard took it. Owning lock: waits until no thread
  // holds the mutex, then retires it. Safe to call more than once.
  void Destroy();

  bool bCreated;       // owning lock with an initialised mutex
  pthread_mutex_t mutex;  // valid only while bCreated
  CXLock* pGuarded;    // a guard's lock; null for an owning lock
  bool bGuard;         // built as a guard
  bool bHolding;       // a guard that currently holds pGuarded's mutex
};

// Suspends the calling thread for `ms` milliseconds; 0 or less sleeps 1 ms, never zero.
void SleepCurrentThread(long ms);

// The platform priority that the portable `priority` (clamped to -15..15) stands for in the
// range prMin..prMax: prMin + ((prMax - prMin) * (priority + 15)) / 30, truncated. -15 gives
// prMin, 15 gives prMax, 0 the middle.
long MapPriority(long priority, long prMin, long prMax);

// Applies MapPriority(priority, CXThread::sPrMin, CXThread::sPrMax) to the calling thread,
// keeping its scheduling policy. False when the thread's parameters cannot be read or set; it
// then keeps its current priority.
bool SetCurrentPriority(long priority);
