#include "core/worker_pool.hpp"

#include "core/async_run.hpp"
#include "core/trace.hpp"
#include "python/park.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tessarin::core {
namespace {

using Clock = std::chrono::steady_clock;

// Upper bound on any wait in these tests. It only keeps a broken pool from
// hanging the suite; a correct pool never comes near it.
constexpr std::chrono::seconds kHangGuard{60};

// A counter that can be waited on. Tasks on the process-wide pool outlive
// the test body that made them, so a task's call to add() must be its last
// touch of test state; notifying under the lock keeps the waiter from
// returning (and destroying the counter) before add() is done with it.
class Counter {
 public:
  int add(int n = 1) {
    const std::lock_guard<std::mutex> lock(mutex_);
    value_ += n;
    changed_.notify_all();
    return value_;
  }
  int value() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }
  // True once the value reaches `target`; false if the hang guard expires.
  bool wait_for(int target) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kHangGuard, [&] { return value_ >= target; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int value_ = 0;
};

// Yields a fixed number of times, then finishes; checks that it is never
// resumed by two workers at once or after it finished.
class CountingTask final : public PoolTask {
 public:
  CountingTask(int yields, Counter& done) : yields_(yields), done_(done) {}

  Step resume() override {
    if (inside_.exchange(true)) overlapped_ = true;
    if (finished_) resumed_after_done_ = true;
    const int n = ++resumes_;
    inside_ = false;
    if (n <= yields_) return Step::Yield;
    finished_ = true;
    done_.add();
    return Step::Done;
  }

  const int yields_;
  std::atomic<int> resumes_{0};
  std::atomic<bool> inside_{false};
  std::atomic<bool> overlapped_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> resumed_after_done_{false};

 private:
  Counter& done_;
};

// A task built from a function, for one-off behaviours.
class FnTask final : public PoolTask {
 public:
  explicit FnTask(std::function<Step()> fn, std::function<void(const char*)> fault = nullptr)
      : fn_(std::move(fn)), fault_(std::move(fault)) {}
  Step resume() override { return fn_(); }
  void on_fault(const char* what) noexcept override {
    if (fault_) fault_(what);
  }

 private:
  std::function<Step()> fn_;
  std::function<void(const char*)> fault_;
};

TEST(WorkerPoolTest, ProcessWidePoolIsOneObjectSizedByCores) {
  std::vector<WorkerPool*> seen(4, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &WorkerPool::instance(); });
  }
  for (auto& t : threads) t.join();
  for (WorkerPool* p : seen) EXPECT_EQ(p, &WorkerPool::instance());

  WorkerPool& pool = WorkerPool::instance();
  EXPECT_EQ(pool.worker_count(), std::max<std::size_t>(1, std::thread::hardware_concurrency()));
  EXPECT_GE(pool.blocking_thread_count(), 1u);
}

TEST(WorkerPoolTest, ManyYieldingTasksAllComplete) {
  WorkerPool& pool = WorkerPool::instance();
  std::mt19937 rng(7);
  Counter done;
  std::vector<std::shared_ptr<CountingTask>> tasks;
  for (int i = 0; i < 300; ++i) {
    tasks.push_back(std::make_shared<CountingTask>(static_cast<int>(rng() % 40), done));
  }
  for (const auto& t : tasks) pool.submit(t);
  pool.submit(nullptr);  // ignored

  ASSERT_TRUE(done.wait_for(static_cast<int>(tasks.size())));
  for (const auto& t : tasks) {
    EXPECT_EQ(t->resumes_.load(), t->yields_ + 1);
    EXPECT_FALSE(t->overlapped_.load());
    EXPECT_FALSE(t->resumed_after_done_.load());
  }
}

// With one worker held by a gate, queued tasks run in submission order and a
// yield puts a task behind everything already queued.
TEST(WorkerPoolTest, YieldRequeuesAtTheBack) {
  std::mutex log_mutex;
  std::string log;
  Counter finished;
  std::mutex gate_mutex;
  std::condition_variable gate_cv;
  bool gate_open = false;
  {
    WorkerPool pool(1, 1);
    pool.submit(std::make_shared<FnTask>([&] {
      std::unique_lock<std::mutex> lock(gate_mutex);
      gate_cv.wait_for(lock, kHangGuard, [&] { return gate_open; });
      return PoolTask::Step::Done;
    }));
    const auto make = [&](char name, int yields) {
      auto left = std::make_shared<int>(yields);
      return std::make_shared<FnTask>([&, name, left] {
        {
          const std::lock_guard<std::mutex> lock(log_mutex);
          log.push_back(name);
        }
        if ((*left)-- > 0) return PoolTask::Step::Yield;
        finished.add();
        return PoolTask::Step::Done;
      });
    };
    pool.submit(make('A', 2));
    pool.submit(make('B', 0));
    pool.submit(make('C', 1));
    {
      const std::lock_guard<std::mutex> lock(gate_mutex);
      gate_open = true;
    }
    gate_cv.notify_all();
    ASSERT_TRUE(finished.wait_for(3));
  }
  EXPECT_EQ(log, "ABCACA");
}

// Every worker runs a task that keeps yielding until the short tasks that
// were submitted after it have all finished. Without a real re-queue on
// yield the short tasks could not run until the long ones gave up.
TEST(WorkerPoolTest, YieldingLetsLaterTasksInterleave) {
  WorkerPool& pool = WorkerPool::instance();
  const int workers = static_cast<int>(pool.worker_count());
  constexpr int kShort = 20;

  Counter long_started;
  Counter long_finished;
  Counter short_done;
  std::atomic<bool> all_short_done{false};
  std::atomic<int> long_gave_up{0};
  std::atomic<int> long_yields_after_short_submitted{0};
  std::atomic<bool> short_submitted{false};

  for (int i = 0; i < workers; ++i) {
    auto started = std::make_shared<bool>(false);
    const auto deadline = Clock::now() + kHangGuard;
    pool.submit(std::make_shared<FnTask>([&, started, deadline] {
      if (!*started) {
        *started = true;
        long_started.add();
      }
      if (short_submitted.load()) long_yields_after_short_submitted.fetch_add(1);
      if (all_short_done.load()) {
        long_finished.add();
        return PoolTask::Step::Done;
      }
      if (Clock::now() > deadline) {
        long_gave_up.fetch_add(1);
        long_finished.add();
        return PoolTask::Step::Done;
      }
      return PoolTask::Step::Yield;
    }));
  }
  ASSERT_TRUE(long_started.wait_for(workers));

  short_submitted = true;
  for (int i = 0; i < kShort; ++i) {
    auto left = std::make_shared<int>(3);
    pool.submit(std::make_shared<FnTask>([&, left] {
      if ((*left)-- > 0) return PoolTask::Step::Yield;
      // Only the last one touches the test's state after its add().
      if (short_done.add() == kShort) all_short_done = true;
      return PoolTask::Step::Done;
    }));
  }
  ASSERT_TRUE(short_done.wait_for(kShort));
  ASSERT_TRUE(long_finished.wait_for(workers));
  EXPECT_EQ(long_gave_up.load(), 0);
  EXPECT_GE(long_yields_after_short_submitted.load(), workers);
}

// Blocking jobs have their own threads: they run while every worker is
// stuck in a task that only a blocking job can release.
TEST(WorkerPoolTest, BlockingJobsRunWhileAllWorkersAreBusy) {
  WorkerPool& pool = WorkerPool::instance();
  const int workers = static_cast<int>(pool.worker_count());

  std::mutex m;
  std::condition_variable cv;
  bool released = false;
  Counter started;
  Counter finished;
  std::atomic<int> timed_out{0};

  for (int i = 0; i < workers; ++i) {
    pool.submit(std::make_shared<FnTask>([&] {
      started.add();
      std::unique_lock<std::mutex> lock(m);
      if (!cv.wait_for(lock, kHangGuard, [&] { return released; })) timed_out.fetch_add(1);
      lock.unlock();
      finished.add();
      return PoolTask::Step::Done;
    }));
  }
  ASSERT_TRUE(started.wait_for(workers));

  pool.submit_blocking([&] {
    // Notify under the lock: the waiters, and then this test, cannot move on
    // until the job is done with m and cv.
    const std::lock_guard<std::mutex> lock(m);
    released = true;
    cv.notify_all();
  });
  ASSERT_TRUE(finished.wait_for(workers));
  EXPECT_EQ(timed_out.load(), 0);
}

TEST(WorkerPoolTest, BlockingJobsRunInOrderAndSurviveThrowingJobs) {
  std::vector<int> order;
  Counter done;
  {
    WorkerPool pool(1, 1);
    for (int i = 0; i < 100; ++i) {
      if (i % 10 == 3) pool.submit_blocking([] { throw std::runtime_error("job failed"); });
      if (i % 10 == 7) pool.submit_blocking([] { throw 42; });
      pool.submit_blocking([&, i] {
        order.push_back(i);
        done.add();
      });
    }
    pool.submit_blocking(nullptr);  // ignored
    ASSERT_TRUE(done.wait_for(100));
  }
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

// The hint only changes how a blocking-job thread waits: jobs given right
// after it, long after it (the thread has gone back to sleep) or without it
// all run once, in order, and a pool whose thread is watching still stops.
TEST(WorkerPoolTest, AnticipatedJobsRunLikeAnyOtherAndAWatchingPoolStops) {
  std::vector<int> order;
  Counter done;
  {
    WorkerPool pool(1, 1);
    for (int i = 0; i < 60; ++i) {
      if (i % 3 != 2) pool.anticipate_blocking_job();
      if (i % 20 == 10) std::this_thread::sleep_for(WorkerPool::kBlockingWatch * 4);
      pool.submit_blocking([&, i] {
        order.push_back(i);
        done.add();
      });
      if (i % 7 == 0) pool.anticipate_blocking_job();  // a hint nothing follows
    }
    ASSERT_TRUE(done.wait_for(60));
    pool.anticipate_blocking_job();
  }  // destroyed while its blocking-job thread watches the queue
  ASSERT_EQ(order.size(), 60u);
  for (int i = 0; i < 60; ++i) EXPECT_EQ(order[i], i);
}

TEST(WorkerPoolTest, ThrowingTaskReportsFaultAndWorkerKeepsRunning) {
  struct Fault {
    std::mutex m;
    std::vector<std::string> texts;
    void add(const char* what) {
      const std::lock_guard<std::mutex> lock(m);
      texts.emplace_back(what ? what : "<null>");
    }
  } faults;
  Counter after;
  std::atomic<int> std_resumes{0};
  std::atomic<int> other_resumes{0};
  std::weak_ptr<PoolTask> std_thrower_watch;
  std::weak_ptr<PoolTask> other_thrower_watch;
  {
    WorkerPool pool(1, 1);  // one worker: if it died, nothing after would run
    auto std_thrower = std::make_shared<FnTask>(
        [&]() -> PoolTask::Step {
          if (std_resumes.fetch_add(1) == 0) return PoolTask::Step::Yield;
          throw std::runtime_error("stage exploded");
        },
        [&](const char* what) { faults.add(what); });
    auto other_thrower = std::make_shared<FnTask>(
        [&]() -> PoolTask::Step {
          other_resumes.fetch_add(1);
          throw 7;
        },
        [&](const char* what) { faults.add(what); });
    std_thrower_watch = std_thrower;
    other_thrower_watch = other_thrower;
    pool.submit(std::move(std_thrower));
    pool.submit(std::move(other_thrower));
    Counter done;
    auto normal = std::make_shared<CountingTask>(3, done);
    pool.submit(normal);
    ASSERT_TRUE(done.wait_for(1));
    // Runs after both throwers have been dropped by the single worker.
    pool.submit(std::make_shared<FnTask>([&] {
      after.add();
      return PoolTask::Step::Done;
    }));
    ASSERT_TRUE(after.wait_for(1));
    EXPECT_TRUE(std_thrower_watch.expired());
    EXPECT_TRUE(other_thrower_watch.expired());
  }
  EXPECT_EQ(std_resumes.load(), 2);
  EXPECT_EQ(other_resumes.load(), 1);
  std::sort(faults.texts.begin(), faults.texts.end());
  EXPECT_EQ(faults.texts, (std::vector<std::string>{"stage exploded", "unknown exception"}));
}

// A thread ended by pthread_exit (what the interpreter does to a thread that
// asks for its lock during finalization) unwinds through the pool's frames.
// Swallowing that unwind would abort the whole process.
// The interpreter ends a thread that takes its lock back at exit; a pool
// thread does that inside a parking call (python/park.h), as a job or a task.
// The thread parks there, nothing above the call is unwound (whatever the
// C++ runtime's unwinder), and the pool's other threads go on.
TEST(WorkerPoolTest, AThreadEndedInsideAParkingCallParks) {
  struct SignalOnUnwind {
    Counter& c;
    ~SignalOnUnwind() { c.add(); }
  };
  // Only C frames may lie between the parking call and the exit: this one
  // has nothing to clean up, so it has none of the C++ runtime's unwind data.
  static void (*const end_thread)(void*) = [](void* ended) {
    static_cast<std::atomic<int>*>(ended)->fetch_add(1);
    pthread_exit(nullptr);
  };
  Counter unwound, ran;
  std::atomic<int> ended{0};
  // Leaked: parked threads never end, so the pool could never be joined.
  auto* pool = new WorkerPool(2, 2);
  pool->submit_blocking([&] {
    SignalOnUnwind guard{unwound};
    tessarin_call_parking(end_thread, &ended);
  });
  pool->submit(std::make_shared<FnTask>([&]() -> PoolTask::Step {
    SignalOnUnwind guard{unwound};
    tessarin_call_parking(end_thread, &ended);
    return PoolTask::Step::Done;
  }));
  const auto deadline = Clock::now() + kHangGuard;
  while (ended.load() < 2 && Clock::now() < deadline) std::this_thread::yield();
  ASSERT_EQ(ended.load(), 2);
  pool->submit_blocking([&] { ran.add(); });
  pool->submit(std::make_shared<FnTask>([&] {
    ran.add();
    return PoolTask::Step::Done;
  }));
  ASSERT_TRUE(ran.wait_for(2));
  // An unwind, had there been one, would have been over long ago.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(unwound.value(), 0);
}

TEST(WorkerPoolTest, DestroyingAPrivatePoolDropsUnfinishedWork) {
  std::weak_ptr<PoolTask> spinner_watch;
  Counter spinning;
  {
    WorkerPool pool(1, 1);
    auto spinner = std::make_shared<FnTask>([&] {
      if (spinning.value() == 0) spinning.add();
      return PoolTask::Step::Yield;
    });
    spinner_watch = spinner;
    pool.submit(std::move(spinner));
    ASSERT_TRUE(spinning.wait_for(1));
  }
  EXPECT_TRUE(spinner_watch.expired());
}

// Forks the process; the child runs `body` and ends with its result as the
// exit status. Returns that status, or -1 if the child did not end within
// the time limit (it is killed then) or was killed by a signal.
int status_of_child(const std::function<int()>& body,
                    std::chrono::seconds limit = std::chrono::seconds{10}) {
  const pid_t pid = fork();
  if (pid == -1) return -1;
  if (pid == 0) _exit(body());
  const auto deadline = Clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A sink that counts events and takes a while over each one under its lock,
// as any sink that does some work per event would.
class SlowCountingSink final : public TraceSink {
 public:
  void record(TraceRecordHandle event) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (char c : event->message())
      mix_ = (mix_ ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    for (int i = 0; i < 200; ++i) mix_ = (mix_ ^ (mix_ >> 7)) * 0x100000001b3ull;
    ++count_;
  }
  long count() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::uint64_t mix_ = 0;
  long count_ = 0;
};

// Background runs of many stages that each record one event, one after
// another, until told to stop. Shared with the runs, which may outlive a
// failed test body.
struct RunChain : std::enable_shared_from_this<RunChain> {
  std::shared_ptr<SlowCountingSink> sink = std::make_shared<SlowCountingSink>();
  std::atomic<bool> stop{false};
  std::atomic<long> runs{0};
  Counter stopped;

  void start() {
    auto self = shared_from_this();
    WorkerPool::instance().submit(std::make_shared<AsyncPipelineRun>(
        std::vector<std::string>(500, "unknown"), NullBackend::cpu(), sink, Graph(), nullptr,
        [self](AsyncOutcome) {
          self->runs.fetch_add(1);
          if (self->stop.load()) {
            self->stopped.add();
          } else {
            self->start();
          }
        }));
  }
};

// A child forked at any moment, while every worker of the process-wide pool
// records background-run events into one sink (holding its mutex much of the
// time), finds that sink unlocked, and a pool of its own that runs its
// background runs. The parent's runs go on. A run recording outside the fork
// handlers' reach would leave the mutex locked in some child, which would
// hang; a pool taken over from the parent would never run the child's run.
TEST(WorkerPoolForkTest, ChildFindsSinksUnlockedAndAFreshPool) {
  const auto chain = std::make_shared<RunChain>();
  const int chains = static_cast<int>(WorkerPool::instance().worker_count());
  for (int i = 0; i < chains; ++i) chain->start();
  const auto child = [&chain] {
    const long before = chain->sink->count();
    Counter done;
    WorkerPool::instance().submit(std::make_shared<AsyncPipelineRun>(
        std::vector<std::string>{"unknown"}, NullBackend::cpu(), chain->sink, Graph(), nullptr,
        [&done](AsyncOutcome) { done.add(); }));
    if (!done.wait_for(1)) return 2;
    // The start event, the unknown stage's warning and the complete event.
    return chain->sink->count() == before + 3 ? 0 : 3;
  };
  std::mt19937 rng(7);
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
    const int status = status_of_child(child);
    if (status != 0) {
      ADD_FAILURE() << "fork " << i << ": child status " << status;
      break;
    }
  }
  const long after_forks = chain->runs.load();
  const auto deadline = Clock::now() + kHangGuard;
  while (chain->runs.load() < after_forks + 4 && Clock::now() < deadline) std::this_thread::yield();
  EXPECT_GE(chain->runs.load(), after_forks + 4);
  chain->stop.store(true);
  EXPECT_TRUE(chain->stopped.wait_for(chains));
}

}  // namespace
}  // namespace tessarin::core
