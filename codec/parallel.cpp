#include "codec/parallel.h"

#include <atomic>
#include <system_error>

#include "codec/codec.h"

namespace {
// The only mutable global of the engine: how many threads a call may use (0: all cores).
std::atomic<unsigned> g_threads{0};
}  // namespace

void SetEngineThreads(unsigned n) { g_threads.store(n, std::memory_order_relaxed); }

unsigned EngineThreads() {
  unsigned n = g_threads.load(std::memory_order_relaxed);
  if (n == 0) n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

namespace zdx {

TaskPool::TaskPool(unsigned nThreads) {
  try {
    threads_.reserve(nThreads);
    for (unsigned i = 0; i < nThreads; ++i) threads_.emplace_back([this] { WorkerLoop(); });
  } catch (const std::exception&) {
    // Fewer threads than asked for: the tasks are shared among those that started.
  }
}

TaskPool::~TaskPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void TaskPool::Submit(Task& task) {
  task.done = false;
  if (threads_.empty()) {
    task.run(task.arg);
    task.done = true;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(&task);
  }
  work_.notify_one();
}

void TaskPool::Wait(Task& task) {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&task] { return task.done; });
}

void TaskPool::WorkerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing is left to run
    Task* const task = queue_.front();
    queue_.pop_front();
    lock.unlock();
    task->run(task->arg);
    lock.lock();
    task->done = true;
    done_.notify_all();
  }
}

}  // namespace zdx
