#include "core/worker_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <new>
#include <utility>

namespace tessarin::core {
namespace {

void name_this_thread(const char* name) noexcept {
  // Visible in debuggers and /proc; failure is harmless.
  (void)pthread_setname_np(pthread_self(), name);
}

// Runs one step of `task`; true when the task wants to be resumed again.
//
// Tasks and jobs never end their thread. A forced unwind (pthread_exit)
// could not be relied on to pass these frames anyway: glibc unwinds with its
// own unwinder, which under libc++ (LLVM's libunwind) cannot read them. A
// pool thread that enters the interpreter, which ends such threads at exit,
// takes its lock through a parking call instead (python/park.h).
bool run_step(PoolTask& task) {
  try {
    return task.resume() == PoolTask::Step::Yield;
  } catch (const std::exception& e) {
    task.on_fault(e.what());
  } catch (...) {
    task.on_fault("unknown exception");
  }
  return false;
}

// The process-wide pool, made on first use. Both are constant-initialised
// and trivially destructible, so nothing about them runs at exit.
constinit std::mutex g_instance_mutex;
constinit std::atomic<WorkerPool*> g_instance{nullptr};

// Runs in a child process right after fork(), before anything else does. The
// child has only the thread that forked: none of the pool's threads came
// along, and whatever they were doing is gone with them. The parent's pool is
// forgotten, not destroyed: destroying it would wait for threads that do not
// exist (and std::thread would terminate the process), and releasing the
// tasks and jobs it holds would run their destructors, which belong to the
// parent's work (the binding's jobs hold Python objects of the parent's event
// loop). So what the child inherited there is leaked, and its first use of
// instance() starts a fresh pool. The mutex is made anew: another thread may
// have held it, mid-way through creating the pool, at the instant of the fork.
void forget_pool_in_child() noexcept {
  g_instance.store(nullptr, std::memory_order_relaxed);
  new (&g_instance_mutex) std::mutex;
}

// ForkQuiet's state: the threads inside a Scope, and the forks under way (a
// count rather than a flag, in case threads without the interpreter lock
// fork at the same time). Every access is sequentially consistent, so that of
// a thread entering (its count first, then the forks) and a fork beginning
// (the forks first, then the count) at least one sees the other.
constinit std::atomic<long> g_quiet_inside{0};
constinit std::atomic<int> g_forking{0};

}  // namespace

void ForkQuiet::enter() noexcept {
  for (;;) {
    g_quiet_inside.fetch_add(1);
    if (g_forking.load() == 0) return;
    // A fork is under way: step back out of its way until it is done. It
    // lasts as long as the fork system call, so yielding is cheap enough.
    g_quiet_inside.fetch_sub(1);
    while (g_forking.load() != 0) std::this_thread::yield();
  }
}

void ForkQuiet::leave() noexcept { g_quiet_inside.fetch_sub(1); }

// In the thread calling fork(). Whoever is inside a Scope is in the middle
// of a short change that waits for nothing, so this wait is short too.
void ForkQuiet::before_fork() noexcept {
  g_forking.fetch_add(1);
  while (g_quiet_inside.load() != 0) std::this_thread::yield();
}

void ForkQuiet::after_fork_in_parent() noexcept { g_forking.fetch_sub(1); }

// The child has no other thread, so nobody is inside, whatever the count
// says (a thread may have stepped in and back out while the fork began).
void ForkQuiet::after_fork_in_child() noexcept {
  g_quiet_inside.store(0);
  g_forking.store(0);
}

WorkerPool& WorkerPool::instance() {
  if (WorkerPool* pool = g_instance.load(std::memory_order_acquire)) return *pool;
  // Registered before the first pool exists, and outside the mutex: a fork
  // on another thread keeps pthread_atfork waiting until it is done.
  static const bool handlers_registered =
      pthread_atfork(&ForkQuiet::before_fork, &ForkQuiet::after_fork_in_parent, [] {
        ForkQuiet::after_fork_in_child();
        forget_pool_in_child();
      }) == 0;
  (void)handlers_registered;
  const std::lock_guard<std::mutex> lock(g_instance_mutex);
  WorkerPool* pool = g_instance.load(std::memory_order_relaxed);
  if (pool == nullptr) {
    // Leaked on purpose: the threads keep running until the process ends,
    // and a static destructor joining them at exit could wait forever on a
    // thread blocked in a job.
    pool = new WorkerPool(std::max<std::size_t>(1, std::thread::hardware_concurrency()), 1);
    g_instance.store(pool, std::memory_order_release);
  }
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
    // A job never ends its thread (see run_step).
    try {
      job();
    } catch (...) {
      // Nowhere to report it; the thread stays available for later jobs.
    }
  }
}

}  // namespace tessarin::core
