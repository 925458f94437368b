#include "core/async_run.hpp"

#include "core/pipeline.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tessarin::core {
namespace {

using Step = PoolTask::Step;
using Kind = AsyncOutcome::Kind;

constexpr std::chrono::seconds kHangGuard{60};

struct Event {
  std::string id;
  std::string message;
  TraceLevel level;
  friend bool operator==(const Event&, const Event&) = default;
};

std::ostream& operator<<(std::ostream& out, const Event& e) {
  return out << e.id << " | " << e.message << " | " << static_cast<int>(e.level);
}

// Keeps what is recorded; can set a cancellation signal or throw when it
// receives a chosen event (counted from 1).
class TestSink final : public TraceSink {
 public:
  void record(TraceRecordHandle event) override {
    std::size_t n;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back({event->id(), event->message(), event->level()});
      n = events_.size();
    }
    if (n == cancel_at && signal) signal->set();
    if (n == throw_at) throw std::runtime_error("sink broke");
  }
  std::vector<Event> events() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

  std::size_t cancel_at = 0;
  std::shared_ptr<CancelSignal> signal;
  std::size_t throw_at = 0;

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

Graph graph_with(std::size_t nodes, const std::string& prefix = "node") {
  Graph graph;
  for (std::size_t i = 0; i < nodes; ++i) {
    ModelConfig config{prefix + std::to_string(i), "1.0.0", {}};
    config.params.insert_or_assign("width", ParamValue::uinteger(64 * (i + 1)));
    graph.add_node(prefix + std::to_string(i), config);
  }
  for (std::size_t i = 1; i < nodes; ++i) graph.add_edge(i, i + 1);
  return graph;
}

// What a run of `stages` over `graph` records, written out independently of
// the run: one entry per step (the start event, then one per stage, the last
// stage's step also holding the complete event). A failing stage ends the
// list with an empty step and sets `failure`.
std::vector<std::vector<Event>> reference_steps(const std::vector<std::string>& stages,
                                                const Graph& graph,
                                                std::optional<std::string>* failure = nullptr) {
  const std::string n = std::to_string(stages.size());
  std::vector<std::vector<Event>> steps;
  steps.push_back({{"pipeline.async.start", "Executing async pipeline with " + n + " stages",
                    TraceLevel::Info}});
  for (const std::string& stage : stages) {
    if (stage == "validation") {
      if (graph.node_count() == 0) {
        steps.emplace_back();
        if (failure != nullptr) {
          *failure =
              "Stage 'validation' failed: validation error: graph must contain at least one node";
        }
        return steps;
      }
      steps.push_back(
          {{"stage.validation", "validated " + std::to_string(graph.node_count()) + " nodes",
            TraceLevel::Info}});
    } else if (stage == "hashing") {
      steps.push_back(
          {{"stage.hashing", "computed graph hash: " + graph.stable_hash(), TraceLevel::Info}});
    } else {
      steps.push_back(
          {{"stage." + stage, "Unknown stage '" + stage + "' skipped", TraceLevel::Warn}});
    }
  }
  steps.back().push_back({"pipeline.async.complete",
                          "Async pipeline completed successfully (" + n + " stages)",
                          TraceLevel::Info});
  return steps;
}

std::vector<Event> flatten(const std::vector<std::vector<Event>>& steps, std::size_t count) {
  std::vector<Event> out;
  for (std::size_t i = 0; i < count && i < steps.size(); ++i)
    out.insert(out.end(), steps[i].begin(), steps[i].end());
  return out;
}

// A run driven by hand, resume by resume, with its outcome captured.
struct Harness {
  Harness(std::vector<std::string> stages, Graph graph)
      : sink(std::make_shared<TestSink>()), signal(std::make_shared<CancelSignal>()) {
    run =
        std::make_shared<AsyncPipelineRun>(std::move(stages), NullBackend::cpu(), sink,
                                           std::move(graph), signal, [this](AsyncOutcome outcome) {
                                             ++finishes;
                                             this->outcome = std::move(outcome);
                                           });
  }
  std::shared_ptr<TestSink> sink;
  std::shared_ptr<CancelSignal> signal;
  std::shared_ptr<AsyncPipelineRun> run;
  int finishes = 0;
  AsyncOutcome outcome;
};

const std::vector<std::vector<std::string>> kStageLists = {
    {},
    {"validation"},
    {"hashing"},
    {"validation", "hashing"},
    {"x", "hashing", "validation", "Validation", "hashing"},
};

TEST(AsyncPipelineRun, StepsMatchTheReferenceForEveryStageList) {
  for (const auto& stages : kStageLists) {
    for (std::size_t nodes : {0u, 1u, 5u}) {
      SCOPED_TRACE(testing::Message() << stages.size() << " stages, " << nodes << " nodes");
      const Graph graph = graph_with(nodes);
      std::optional<std::string> failure;
      const auto steps = reference_steps(stages, graph, &failure);
      Harness h(stages, graph);

      // The first resume only takes the yield in front of the start event.
      ASSERT_EQ(h.run->resume(), Step::Yield);
      EXPECT_TRUE(h.sink->events().empty());
      for (std::size_t step = 1; step <= steps.size(); ++step) {
        const Step result = h.run->resume();
        EXPECT_EQ(h.sink->events(), flatten(steps, step));
        ASSERT_EQ(result, step == steps.size() ? Step::Done : Step::Yield);
      }
      ASSERT_EQ(h.finishes, 1);
      if (failure) {
        EXPECT_EQ(h.outcome.kind, Kind::StageFailed);
        EXPECT_EQ(h.outcome.message, *failure);
      } else {
        EXPECT_EQ(h.outcome.kind, Kind::Completed);
        EXPECT_EQ(h.outcome.graph.stable_hash(), graph.stable_hash());
        EXPECT_EQ(h.outcome.graph.edge_count(), graph.edge_count());
      }
    }
  }
}

TEST(AsyncPipelineRun, CancelledWhileWaitingAtAYieldStopsWithoutAnotherStep) {
  const std::vector<std::string> stages = {"validation", "x", "hashing"};
  const Graph graph = graph_with(3);
  const auto steps = reference_steps(stages, graph);
  // k resumes happen before the signal is set; k = 0 is a cancellation
  // before the run ever ran.
  for (std::size_t k = 0; k <= steps.size(); ++k) {
    SCOPED_TRACE(k);
    Harness h(stages, graph);
    for (std::size_t i = 0; i < k; ++i) ASSERT_EQ(h.run->resume(), Step::Yield);
    h.signal->set();
    h.signal->set();  // one-shot: a second set changes nothing
    EXPECT_EQ(h.run->resume(), Step::Done);
    EXPECT_EQ(h.finishes, 1);
    EXPECT_EQ(h.outcome.kind, Kind::Cancelled);
    EXPECT_EQ(h.sink->events(), flatten(steps, k == 0 ? 0 : k - 1));
  }
}

TEST(AsyncPipelineRun, CancelledDuringAStepFinishesOnlyThatStep) {
  const std::vector<std::string> stages = {"validation", "hashing", "y", "hashing"};
  const Graph graph = graph_with(4);
  const auto steps = reference_steps(stages, graph);
  const std::size_t total = flatten(steps, steps.size()).size();
  for (std::size_t j = 1; j <= total; ++j) {
    SCOPED_TRACE(j);
    Harness h(stages, graph);
    h.sink->signal = h.signal;
    h.sink->cancel_at = j;
    int resumes = 0;
    while (h.run->resume() == Step::Yield) ASSERT_LT(++resumes, 100);
    // The step holding event j runs to its end; nothing after it.
    std::size_t step_end = 0, seen = 0;
    while (seen < j) seen += steps[step_end++].size();
    EXPECT_EQ(h.sink->events(), flatten(steps, step_end));
    EXPECT_EQ(h.outcome.kind, step_end == steps.size() ? Kind::Completed : Kind::Cancelled);
    EXPECT_EQ(h.finishes, 1);
  }
}

TEST(AsyncPipelineRun, WorksOnItsOwnCopyOfTheGraph) {
  Graph graph = graph_with(2);
  const std::string before = graph.stable_hash();
  Harness h({"hashing"}, graph);
  graph.add_node("late", ModelConfig{"late", "1", {}});
  while (h.run->resume() == Step::Yield) {
  }
  ASSERT_EQ(h.outcome.kind, Kind::Completed);
  EXPECT_EQ(h.outcome.graph.stable_hash(), before);
  EXPECT_EQ(h.sink->events()[1].message, "computed graph hash: " + before);
}

// Waits for a number of finishes from pool threads.
class Finishes {
 public:
  void add(AsyncOutcome outcome) {
    const std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.push_back(std::move(outcome));
    changed_.notify_all();
  }
  bool wait_for(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kHangGuard, [&] { return outcomes_.size() >= n; });
  }
  std::vector<AsyncOutcome> take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::move(outcomes_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<AsyncOutcome> outcomes_;
};

TEST(AsyncPipelineRun, AThrowingStepEndsAsAFaultWithItsDescription) {
  Finishes finishes;
  {
    WorkerPool pool(1, 1);
    for (std::size_t at = 1; at <= 3; ++at) {
      auto sink = std::make_shared<TestSink>();
      sink->throw_at = at;
      pool.submit(std::make_shared<AsyncPipelineRun>(
          std::vector<std::string>{"validation", "hashing"}, NullBackend::cpu(), sink,
          graph_with(2), std::make_shared<CancelSignal>(),
          [&](AsyncOutcome o) { finishes.add(std::move(o)); }));
    }
    ASSERT_TRUE(finishes.wait_for(3));
  }  // joins the pool: a second finish for any run would show up below
  for (const AsyncOutcome& outcome : finishes.take()) {
    EXPECT_EQ(outcome.kind, Kind::Faulted);
    EXPECT_EQ(outcome.message, "internal error in background pipeline run: sink broke");
  }
}

// Occupies a worker until released.
class Blocker final : public PoolTask {
 public:
  Step resume() override {
    std::unique_lock<std::mutex> lock(mutex_);
    started_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, kHangGuard, [&] { return released_; });
    return Step::Done;
  }
  void wait_started() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kHangGuard, [&] { return started_; });
  }
  void release() {
    const std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool started_ = false, released_ = false;
};

// Records a marker event when it runs.
class Marker final : public PoolTask {
 public:
  explicit Marker(std::shared_ptr<TraceSink> sink) : sink_(std::move(sink)) {}
  Step resume() override {
    record_event(*sink_, "marker", "", TraceLevel::Debug);
    return Step::Done;
  }

 private:
  std::shared_ptr<TraceSink> sink_;
};

TEST(AsyncPipelineRun, YieldsBeforeTheStartEventAndBeforeEveryStage) {
  // One worker, held busy while a run and then a marker are queued: the run
  // goes first, but its first yield lets the marker run before its start
  // event; likewise a marker queued between its steps runs before its next
  // stage.
  Finishes finishes;
  auto sink = std::make_shared<TestSink>();
  {
    WorkerPool pool(1, 1);
    auto blocker = std::make_shared<Blocker>();
    pool.submit(blocker);
    blocker->wait_started();
    pool.submit(std::make_shared<AsyncPipelineRun>(
        std::vector<std::string>{"a", "b"}, NullBackend::cpu(), sink, graph_with(1),
        std::make_shared<CancelSignal>(), [&](AsyncOutcome o) { finishes.add(std::move(o)); }));
    pool.submit(std::make_shared<Marker>(sink));
    blocker->release();
    ASSERT_TRUE(finishes.wait_for(1));
  }
  std::vector<std::string> ids;
  for (const Event& e : sink->events()) ids.push_back(e.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"marker", "pipeline.async.start", "stage.a", "stage.b",
                                           "pipeline.async.complete"}));
}

TEST(AsyncPipelineRun, ConcurrentRunsInterleaveInOneStoreEachInItsOwnOrder) {
  constexpr std::size_t kRuns = 40;
  auto store = TraceStore::create();
  Finishes finishes;
  std::vector<std::vector<Event>> expected(kRuns);
  std::vector<std::string> hashes(kRuns);
  {
    WorkerPool pool(2, 1);
    for (std::size_t r = 0; r < kRuns; ++r) {
      // Unique stage names, stage counts and graphs tell the runs apart in
      // the store.
      std::vector<std::string> stages = {"r" + std::to_string(r), "validation", "hashing"};
      for (std::size_t i = 0; i < r; ++i)
        stages.push_back("r" + std::to_string(r) + "." + std::to_string(i));
      Graph graph = graph_with(r + 1, "n" + std::to_string(r));
      expected[r] = flatten(reference_steps(stages, graph), stages.size() + 1);
      hashes[r] = graph.stable_hash();
      pool.submit(std::make_shared<AsyncPipelineRun>(
          std::move(stages), NullBackend::cpu(), store, std::move(graph),
          std::make_shared<CancelSignal>(), [&](AsyncOutcome o) { finishes.add(std::move(o)); }));
    }
    ASSERT_TRUE(finishes.wait_for(kRuns));
  }
  std::vector<std::string> result_hashes;
  for (const AsyncOutcome& outcome : finishes.take()) {
    ASSERT_EQ(outcome.kind, Kind::Completed);
    result_hashes.push_back(outcome.graph.stable_hash());
  }
  std::sort(result_hashes.begin(), result_hashes.end());
  std::sort(hashes.begin(), hashes.end());
  EXPECT_EQ(result_hashes, hashes);

  // Every event of the store belongs to exactly one run (each run's events
  // are unique to it), so walking the store and advancing the matching run's
  // position checks each run's order; every list must be consumed whole.
  std::vector<std::size_t> position(kRuns, 0);
  const auto snapshot = store->snapshot();
  ASSERT_EQ(snapshot.size(), [&] {
    std::size_t n = 0;
    for (const auto& e : expected) n += e.size();
    return n;
  }());
  for (const auto& record : snapshot) {
    const Event e{record->id(), record->message(), record->level()};
    bool matched = false;
    for (std::size_t r = 0; r < kRuns && !matched; ++r) {
      if (position[r] < expected[r].size() && expected[r][position[r]] == e) {
        ++position[r];
        matched = true;
      }
    }
    ASSERT_TRUE(matched) << e;
  }
  for (std::size_t r = 0; r < kRuns; ++r) EXPECT_EQ(position[r], expected[r].size()) << r;
}

}  // namespace
}  // namespace tessarin::core
