// The engine's threading layer: the one thread count setting and a small pool of worker threads
// on which a codec call (or a job) runs independent pieces of work.
//
// The pool is made for a few tasks per call, each worth milliseconds at least (a block to sort,
// a block to decode, a trial compression): submitting and waiting take a lock, running a task
// does not. Nothing throws: when the system refuses threads the pool simply has fewer of them,
// and with none at all Submit runs the task on the caller's thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace zdx {

// One piece of work. The owner keeps it alive until Wait has returned for it.
struct Task {
  void (*run)(void* arg) = nullptr;
  void* arg = nullptr;
  bool done = false;  // guarded by the pool's lock
};

class TaskPool {
 public:
  // Starts up to nThreads workers.
  explicit TaskPool(unsigned nThreads);
  // Runs every task still queued, then stops and joins the workers.
  ~TaskPool();
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;

  unsigned Threads() const { return static_cast<unsigned>(threads_.size()); }

  // Queues the task (tasks start in the order they were submitted).
  void Submit(Task& task);
  // Returns once the task has run.
  void Wait(Task& task);

 private:
  void WorkerLoop();

  std::mutex mutex_;
  std::condition_variable work_;  // a task was queued, or the pool is stopping
  std::condition_variable done_;  // a task finished
  std::deque<Task*> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace zdx
