#include "core/worker_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "core/unwind.hpp"

namespace tessarin::core {
namespace {

void name_this_thread(const char* name) noexcept {
  // Visible in debuggers and /proc; failure is harmless.
  (void)pthread_setname_np(pthread_self(), name);
}

// Runs one step of `task`; true when the task wants to be resumed again.
//
// Not noexcept, and the catch-all passes a forced unwind on: a thread ended
// by pthread_exit unwinds through here, and swallowing that unwind (or
// meeting a noexcept frame) would abort the process. A forced unwind never
// matches a typed handler, so only catch (...) can see it.
bool run_step(PoolTask& task) {
  try {
    return task.resume() == PoolTask::Step::Yield;
  } catch (const std::exception& e) {
    task.on_fault(e.what());
  } catch (...) {
    if (handling_foreign_exception()) throw;
    task.on_fault("unknown exception");
  }
  return false;
}

}  // namespace

WorkerPool& WorkerPool::instance() {
  // Leaked on purpose: the threads keep running until the process ends, and
  // a static destructor joining them at exit could wait forever on a thread
  // blocked in a job.
  static WorkerPool* const pool = new WorkerPool(
      std::max<std::size_t>(1, std::thread::hardware_concurrency()), 1);
  return *pool;
}

WorkerPool::WorkerPool(std::size_t workers, std::size_t blocking_threads)
    : worker_count_(std::max<std::size_t>(1, workers)),
      blocking_count_(std::max<std::size_t>(1, blocking_threads)) {
  threads_.reserve(worker_count_ + blocking_count_);
  try {
    for (std::size_t i = 0; i < worker_count_; ++i) {
      threads_.emplace_back([this] {
        name_this_thread("tessarin-work");
        run_worker();
      });
    }
    for (std::size_t i = 0; i < blocking_count_; ++i) {
      threads_.emplace_back([this] {
        name_this_thread("tessarin-block");
        run_blocking();
      });
    }
  } catch (...) {
    // Joinable threads left in threads_ would terminate the process when the
    // vector is destroyed.
    stop_and_join();
    throw;
  }
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::stop_and_join() {
  {
    const std::lock_guard<std::mutex> lock(tasks_mutex_);
    tasks_stopping_ = true;
  }
  tasks_ready_.notify_all();
  {
    const std::lock_guard<std::mutex> lock(jobs_mutex_);
    jobs_stopping_ = true;
  }
  jobs_ready_.notify_all();
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
}

void WorkerPool::submit(std::shared_ptr<PoolTask> task) {
  if (!task) return;
  {
    const std::lock_guard<std::mutex> lock(tasks_mutex_);
    tasks_.push_back(std::move(task));
  }
  tasks_ready_.notify_one();
}

void WorkerPool::submit_blocking(std::function<void()> job) {
  if (!job) return;
  {
    const std::lock_guard<std::mutex> lock(jobs_mutex_);
    jobs_.push_back(std::move(job));
  }
  jobs_ready_.notify_one();
}

void WorkerPool::anticipate_blocking_job() {
  {
    const std::lock_guard<std::mutex> lock(tasks_mutex_);
    if (idle_workers_ == 0) return;
  }
  {
    const std::lock_guard<std::mutex> lock(jobs_mutex_);
    watch_until_ = std::chrono::steady_clock::now() + kBlockingWatch;
  }
  jobs_ready_.notify_one();
}

void WorkerPool::run_worker() {
  // The task this worker is running; after a yield it is still held here
  // until it has been put back in the queue.
  std::shared_ptr<PoolTask> task;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(tasks_mutex_);
      if (tasks_stopping_) return;
      if (task && !tasks_.empty()) {
        // Other work is waiting: go to the back of the queue behind it.
        tasks_.push_back(std::move(task));  // leaves `task` empty
      }
      // A task that yielded with nothing else queued simply continues, which
      // saves a round trip through the queue.
      if (!task) {
        ++idle_workers_;
        tasks_ready_.wait(lock, [this] { return tasks_stopping_ || !tasks_.empty(); });
        --idle_workers_;
        if (tasks_stopping_) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
    }
    // Release a finished task before looking for the next one, so whatever it
    // owns does not outlive its work.
    if (!run_step(*task)) task.reset();
  }
}

void WorkerPool::run_blocking() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(jobs_mutex_);
      for (;;) {
        if (jobs_stopping_) return;
        if (!jobs_.empty()) break;
        if (std::chrono::steady_clock::now() < watch_until_) {
          // A job is expected any moment: look again soon rather than sleep
          // and pay for a wake-up when it comes.
          lock.unlock();
          std::this_thread::yield();
          lock.lock();
          continue;
        }
        jobs_ready_.wait(lock);
      }
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    // Not noexcept, and a forced unwind is passed on (see run_step): a job
    // that waits for the interpreter lock while the interpreter finalizes may
    // be ended with pthread_exit.
    try {
      job();
    } catch (...) {
      if (handling_foreign_exception()) throw;
      // Nowhere to report it; the thread stays available for later jobs.
    }
  }
}

}  // namespace tessarin::core
