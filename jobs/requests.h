// The request records and their states, the request array and its lock, the worker thread
// object, and the one-slot status mailbox from the worker to the display.
#pragma once

#include <atomic>
#include <cstdint>

#include "codec/format.h"
#include "support/struct_array.h"
#include "support/xlock.h"
#include "support/xthread.h"

// Request states. A request moves 0 -> 1 -> one of 2, 3 or 5 and never back to 0, so each is
// processed at most once. No operation sets kStateExists; its string is kept for the table.
inline constexpr int32_t kStateWait = 0;        // queued, not yet taken
inline constexpr int32_t kStateProcess = 1;     // in work
inline constexpr int32_t kStateExpanded = 2;    // a container was expanded
inline constexpr int32_t kStateCompressed = 3;  // the file was compressed
inline constexpr int32_t kStateExists = 4;      // never set
inline constexpr int32_t kStateError = 5;       // the job failed, whatever the cause
inline constexpr int kStateCount = 6;

// Display strings indexed by nState: "Wait", "Process", "Expanded", "Compressed", "Exists",
// "Error".
extern const char* const cfStatusString[kStateCount];

// Failure reason of a request in kStateError (a JobError value, jobs/errors.h); kReasonNone
// otherwise.
inline constexpr int32_t kReasonNone = 0;

// One file job, stored by value in g_requests and moved as raw bytes (it owns nothing outside
// its own bytes and overrides neither hook).
//
// The list view reads nState, nSrcSize, nDstSize and nReason without g_lock while the worker
// changes them under it, so those four are always read and written whole through the accessors
// below (relaxed atomic 32-bit loads and stores; the ordering that matters comes from g_lock and
// the mailbox). szPath is written once by intake, before the request is queued; nSrcSize is set
// by intake and measured again by the job when it starts.
struct Request final : ArrayElem {
  Request() = default;
  Request(const Request& other) : ArrayElem(other) { *this = other; }
  // Copies all kPathMax bytes of szPath (not only up to the terminator), then the fields.
  Request& operator=(const Request& other);

  int32_t State() const { return Word(nState).load(std::memory_order_relaxed); }
  void SetState(int32_t state) { Word(nState).store(state, std::memory_order_relaxed); }
  uint32_t SrcSize() const { return Word(nSrcSize).load(std::memory_order_relaxed); }
  void SetSrcSize(uint32_t size) { Word(nSrcSize).store(size, std::memory_order_relaxed); }
  uint32_t DstSize() const { return Word(nDstSize).load(std::memory_order_relaxed); }
  void SetDstSize(uint32_t size) { Word(nDstSize).store(size, std::memory_order_relaxed); }
  int32_t Reason() const { return Word(nReason).load(std::memory_order_relaxed); }
  void SetReason(int32_t reason) { Word(nReason).store(reason, std::memory_order_relaxed); }

  char szPath[zdx::kPathMax] = {};  // input path, NUL-terminated, so at most 259 characters
  int32_t nState = kStateWait;      // kStateWait..kStateError; use State()/SetState()
  uint32_t nSrcSize = 0;            // input size in bytes (low 32 bits); use SrcSize()
  uint32_t nDstSize = 0;            // result size, 0 until the job succeeds; use DstSize()
  int32_t nReason = kReasonNone;    // why a job in kStateError failed; use Reason()

 private:
  // A std::atomic_ref cannot be made on a const object; a load never writes, so the const view
  // is dropped only to build the reference.
  template <class T>
  static std::atomic_ref<T> Word(const T& word) {
    return std::atomic_ref<T>(const_cast<T&>(word));
  }
};

// The requests in order of intake; request i is list item i + 1. Guarded by g_lock; only the
// main thread changes its count or storage. Quantum 16.
extern CStructArray g_requests;
// Guards g_requests. Created by main before the worker starts.
extern CXLock g_lock;
// The worker thread. Function 1 is the worker loop; intake signals it once per accepted file.
extern CXThread g_thrd;

// Flag bits of a post.
inline constexpr uint32_t kStatRow = 1;    // the row of request nIndex changed
inline constexpr uint32_t kStatValue = 2;  // nValue holds a new progress value
inline constexpr uint32_t kStatMax = 4;    // nMax holds a new progress maximum

// How long a post waits between looks at a slot that is still taken.
inline constexpr long kStatWaitMs = 100;

// One-slot, lock-free mailbox with one producer (the worker) and one consumer (the display
// timer). nFlags is the only synchronisation word: 0 means the slot is free. The producer
// fills the fields and publishes them by storing nFlags last (release); the consumer reads
// nFlags first (acquire), copies the fields and frees the slot by clearing nFlags (release),
// which the producer's wait reads (acquire) before it writes the fields again. Once bQuit is
// set, nothing is posted or taken any more.
struct ProcStatus {
  // What the consumer takes: the flags of the post and copies of the three fields (a field
  // whose bit is clear holds whatever an earlier post left).
  struct Post {
    uint32_t nFlags = 0;
    int32_t nIndex = 0;
    int32_t nValue = 0;
    int32_t nMax = 0;
  };

  // Producer only. Stores `index`, and `value` and `maximum` where `flags` has kStatValue and
  // kStatMax, then publishes `flags`. Waits while the previous post is untaken, sleeping
  // kStatWaitMs between looks. With bQuit set it drops any pending post and returns at once;
  // when bQuit is set during the wait it returns after the current sleep without posting.
  void Change(long index, int flags, long value, long maximum);

  // Consumer only. Takes the pending post into `out` and frees the slot. False, with nothing
  // taken, when the slot is free or bQuit is set.
  bool Take(Post& out);

  std::atomic<uint32_t> nFlags{0};  // 0: free; otherwise the kinds of news pending
  std::atomic<bool> bQuit{false};   // shutdown: set once by the main thread, never cleared
  int32_t nIndex = 0;               // g_requests index the post concerns
  int32_t nValue = 0;               // progress value
  int32_t nMax = 0;                 // progress maximum
  // The sleep used while waiting for a free slot, called with kStatWaitMs. Tests replace it to
  // see and steer the wait.
  void (*pfnSleep)(long ms) = SleepCurrentThread;
};

// The status mailbox from the worker to the display timer.
extern ProcStatus g_stat;
