#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tessarin::core {

// A unit of cooperative background work. The pool calls resume() on one
// worker at a time; a task that returns Yield goes to the back of the queue,
// so everything already waiting runs before it continues.
class PoolTask {
 public:
  enum class Step { Yield, Done };

  virtual ~PoolTask() = default;

  // Runs the task up to its next yield point or to its end. May throw: the
  // worker survives, calls on_fault() and drops the task. Never ends the
  // thread (worker_pool.cpp, run_step).
  virtual Step resume() = 0;

  // Called once, on the worker thread, when resume() throws; `what` is the
  // exception's what() text, or "unknown exception" for a non-standard one.
  // The task is never resumed again.
  virtual void on_fault(const char* what) noexcept { (void)what; }

 protected:
  PoolTask() = default;
  PoolTask(const PoolTask&) = default;
  PoolTask& operator=(const PoolTask&) = default;
};

// Keeps fork() from catching a pool thread half-way through a change to
// state that a child process inherits and goes on using (a trace store shared
// with Python objects, above all: a mutex held at the instant of the fork
// would stay locked in the child for good, and a half-appended list would be
// broken). A pool thread makes each such change inside a Scope; the fork
// handlers, registered with the process-wide pool, let a fork begin only
// when no thread is inside one, and keep new ones waiting until it is done.
//
// Scopes must be short and must never wait for anything held by a thread
// that may fork: the thread calling fork() waits for every Scope to end, and
// a Python thread forks with the interpreter lock held, so a Scope must never
// need that lock, and a thread inside one must never fork itself. Threads
// holding the interpreter lock need no Scope: they cannot be running while
// another Python thread forks.
class ForkQuiet {
 public:
  class Scope {
   public:
    Scope() noexcept { enter(); }
    ~Scope() { leave(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
  };

 private:
  friend class WorkerPool;
  static void enter() noexcept;
  static void leave() noexcept;
  static void before_fork() noexcept;
  static void after_fork_in_parent() noexcept;
  static void after_fork_in_child() noexcept;
};

// Worker threads for background tasks plus separate threads for short jobs
// that may block (such as waiting for the interpreter lock to deliver a
// result), so that a blocked delivery never holds up a worker and busy
// workers never hold up a delivery.
//
// The pool releases its reference to a task (and destroys a job) on its own
// threads, outside any lock of the pool.
class WorkerPool {
 public:
  // The process-wide pool: one worker per core the system reports (at least
  // one) and one blocking-job thread. Created on first use; a failure to start
  // its threads throws std::system_error and the next call tries again. It is
  // never destroyed: its threads run until the process ends, and no static
  // destructor ever waits for them.
  //
  // A child made by fork() starts a fresh pool on its first call: the
  // parent's pool, its threads, and the tasks and jobs in flight there stay
  // behind in the parent, and the child leaks its copy of them untouched.
  // The first call also registers the fork handlers of ForkQuiet.
  static WorkerPool& instance();

  // A private pool, for tests and tools. Counts of zero are raised to one.
  // Unlike instance(), it is useless in a child made by fork(), which has
  // none of its threads.
  // Throws std::system_error if a thread cannot be started (the threads
  // already started are stopped first).
  WorkerPool(std::size_t workers, std::size_t blocking_threads);

  // Stops the threads after their current step or job and waits for them;
  // tasks and jobs still queued are dropped without running. Must not be
  // called from one of the pool's own threads.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues a task at the back of the background queue. Null is ignored.
  void submit(std::shared_ptr<PoolTask> task);

  // Queues a job for the blocking-job threads, run in submission order. A job
  // should handle its own failures: an exception escaping it is dropped.
  void submit_blocking(std::function<void()> job);

  // A hint that a blocking job will probably be submitted very soon (for
  // example, a short task was just queued whose end submits one). An idle
  // blocking-job thread wakes now and watches the queue for up to
  // kBlockingWatch, yielding its core to anyone else who needs it, before it
  // goes back to sleep; a job arriving meanwhile starts without waiting for a
  // thread to wake up, which is most of the cost of a short round trip. The
  // hint is ignored while every worker is busy: queued work will not end that
  // soon. Only a hint: jobs run the same whether or not it was given.
  void anticipate_blocking_job();
  static constexpr std::chrono::microseconds kBlockingWatch{150};

  std::size_t worker_count() const noexcept { return worker_count_; }
  std::size_t blocking_thread_count() const noexcept { return blocking_count_; }

 private:
  void run_worker();
  void run_blocking();
  void stop_and_join();

  const std::size_t worker_count_;
  const std::size_t blocking_count_;

  std::mutex tasks_mutex_;
  std::condition_variable tasks_ready_;
  std::deque<std::shared_ptr<PoolTask>> tasks_;
  bool tasks_stopping_ = false;
  // Workers waiting for a task (including any just notified but not yet up).
  std::size_t idle_workers_ = 0;

  std::mutex jobs_mutex_;
  std::condition_variable jobs_ready_;
  std::deque<std::function<void()>> jobs_;
  bool jobs_stopping_ = false;
  // Until when an idle blocking-job thread watches instead of sleeping.
  std::chrono::steady_clock::time_point watch_until_{};

  std::vector<std::thread> threads_;
};

}  // namespace tessarin::core
