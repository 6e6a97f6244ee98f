// An auto-reset event, and a background thread that serves a small table of counted functions.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "support/struct_array.h"

// Auto-reset event on a mutex and a condition variable. A Set() with nobody waiting is
// remembered; signals do not queue: several Set() calls before a Wait() leave one pending
// signal, which one Wait() consumes. There is no destructor: the owner calls Destroy().
class CXEvent {
 public:
  CXEvent() = default;
  CXEvent(const CXEvent&) = delete;
  CXEvent& operator=(const CXEvent&) = delete;

  // Destroy()s first, clears the pending signal and initialises the mutex and condition
  // variable. False (and nothing initialised) on failure.
  bool Create();
  void Destroy();
  // Leaves a signal pending and wakes one waiter. Does nothing when not created.
  void Set();
  // Blocks until a signal is pending, then consumes it. Returns at once when not created or
  // when the platform call fails.
  void Wait();

  bool bCreated = false;
  bool bSignaled = false;  // read and written only with `mutex` held
  pthread_mutex_t mutex{};
  pthread_cond_t cond{};
};

// A background thread serving a table of registered functions. Each function has a count of
// runs owed; Signal(index) adds one run and wakes the thread, which runs every owed call in
// table order (all owed runs of index 1 before any of index 2), then sleeps on its event until
// signalled again. Index 0 is always ExitThreadFunc, so Signal(0) ends the thread's loop, as
// does any function returning 0.
//
// AddFunction, Create and Destroy belong to one controlling thread. Functions are registered
// only before Create(); a stopped thread cannot be started again. Stopping is cooperative:
// Destroy() waits for the function in progress to return, and owed runs are not served once
// the stop is seen.
class CXThread {
 public:
  using ThreadFn = unsigned char (*)(void* arg);

  struct FuncElem final : ArrayElem {
    ThreadFn pFunc = nullptr;  // a zero result asks the thread to stop
    // Runs still owed: raised by Signal on any thread, lowered by the started thread before each
    // run. Only ever accessed through Pending(), atomically. A plain word rather than a
    // std::atomic because the record travels as raw bytes; the table never moves while the
    // thread runs (no AddFunction then), so the word keeps one address for its whole shared
    // life.
    int32_t nPending = 0;

    std::atomic_ref<int32_t> Pending() { return std::atomic_ref<int32_t>(nPending); }
  };

  // The platform's scheduling priority range for policy 0, read once before main runs.
  static int sPrMin;
  static int sPrMax;

  // Always 0: registered at index 0 of every table, so that signalling index 0 ends the loop.
  static unsigned char ExitThreadFunc(void* arg);

  CXThread();
  // Destroy(), then clears the function table and retires the event.
  ~CXThread();
  CXThread(const CXThread&) = delete;
  CXThread& operator=(const CXThread&) = delete;

  // Registers `fn`, owed one run when `runAtStart` is non-zero, and returns its index (1 for the
  // first function; ExitThreadFunc is put at index 0 first). 0 when `fn` is null, the thread is
  // running, or the table cannot grow.
  long AddFunction(ThreadFn fn, unsigned char runAtStart);
  // Starts the thread with `arg` for every function and `priority` clamped to -15..15. False
  // when it is running, was stopped, has no function, or the event or thread cannot be made.
  bool Create(void* arg, long priority);
  // Owes one more run to function `index` and wakes the thread. 0 for an index outside the
  // table. Allowed before Create(): the first pass serves the accumulated runs.
  int Signal(long index);
  // Requests the stop; if the thread runs, wakes it and joins it. Safe to repeat, and on a
  // thread that never started.
  void Destroy();

  // Entry point of the started thread; `self` is the CXThread.
  static void* ThreadProc(void* self);
  // The service loop; returns 0.
  long ThreadFunc();

  bool bRunning;  // a thread was started and not yet joined; controlling thread only
  pthread_t hThread;
  void* pArg;
  CXEvent event;
  CStructArray funcs;  // of FuncElem, quantum 4
  std::atomic<bool> bStop;  // never cleared once set; written by both threads
  int32_t nPriority;
};
