#include "core/trace.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace tessarin::core {
namespace {

static_assert(std::is_same_v<std::underlying_type_t<TraceLevel>, std::uint8_t>);

TEST(TraceLevelTest, ValuesAndShortNames) {
  const struct {
    TraceLevel level;
    int value;
    const char* name;
  } table[] = {
      {TraceLevel::Debug, 0, "Debug"},
      {TraceLevel::Info, 1, "Info"},
      {TraceLevel::Warn, 2, "Warn"},
      {TraceLevel::Error, 3, "Error"},
  };
  for (const auto& row : table) {
    EXPECT_EQ(static_cast<int>(row.level), row.value);
    EXPECT_EQ(trace_level_name(row.level), row.name);
  }
}

TEST(WallTimeTest, TimestampSecsRule) {
  const struct {
    WallTime time;
    double expected;
  } table[] = {
      {{0, 0}, 0.0},
      {{0, 1}, 1e-9},
      {{1, 500000000}, 1.5},
      {{1700000000, 0}, 1700000000.0},
      {{1700000000, 999999999}, 1700000000.0 + 999999999.0 / 1e9},
      {{1700000000, 123456789}, 1700000000.0 + 0.123456789},
      {{INT64_MAX, 0}, 9223372036854775807.0},
      // Before the epoch: -0.5 s, -1 ns, -1 s and the earliest instant.
      {{-1, 500000000}, 0.0},
      {{-1, 999999999}, 0.0},
      {{-1, 0}, 0.0},
      {{INT64_MIN, 0}, 0.0},
  };
  for (const auto& row : table) {
    // Exact comparison: the result is fixed by the conversion order.
    EXPECT_EQ(row.time.timestamp_secs(), row.expected)
        << row.time.secs << "s " << row.time.nanos << "ns";
  }
  // The record reports its own stamp the same way.
  const TraceRecord before_epoch("a", "b", TraceLevel::Info, std::nullopt, std::nullopt,
                                 WallTime{-20, 5});
  EXPECT_EQ(before_epoch.timestamp_secs(), 0.0);
}

TEST(WallTimeTest, NowReadsTheRealTimeClock) {
  const WallTime t = WallTime::now();
  const double system_now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_LT(t.nanos, 1000000000u);
  // A monotonic or process clock would be off by decades.
  EXPECT_LT(std::fabs(t.timestamp_secs() - system_now), 60.0);
}

TEST(TraceRecordTest, FieldsAreKeptAndDefaultsApply) {
  const auto plain = make_trace_record("model.init", "Initializing encoder");
  EXPECT_EQ(plain->id(), "model.init");
  EXPECT_EQ(plain->message(), "Initializing encoder");
  EXPECT_EQ(plain->level(), TraceLevel::Info);
  EXPECT_FALSE(plain->span_id().has_value());
  EXPECT_FALSE(plain->trace_id().has_value());

  const auto full = make_trace_record("", std::string("a\0b", 3), TraceLevel::Error, std::string(),
                                      std::string("t-1"));
  EXPECT_EQ(full->id(), "");
  EXPECT_EQ(full->message(), std::string("a\0b", 3));
  EXPECT_EQ(full->level(), TraceLevel::Error);
  EXPECT_EQ(full->span_id(), std::optional<std::string>(""));
  EXPECT_EQ(full->trace_id(), std::optional<std::string>("t-1"));

  // Stamps of records made in sequence do not go backwards (unless the
  // system clock is set back while this runs).
  const double a = make_trace_record("x", "y")->timestamp_secs();
  const double b = make_trace_record("x", "y")->timestamp_secs();
  EXPECT_LE(a, b);
}

TEST(TraceStoreTest, KeepsRecordingOrderAndSnapshotsArePrefixes) {
  const auto store = TraceStore::create();
  EXPECT_EQ(store->size(), 0u);
  EXPECT_TRUE(store->snapshot().empty());

  std::vector<TraceRecordHandle> recorded;
  std::vector<std::vector<TraceRecordHandle>> snapshots;
  for (int i = 0; i < 50; ++i) {
    auto event = make_trace_record(std::to_string(i), "m", static_cast<TraceLevel>(i % 4));
    recorded.push_back(event);
    store->record(event);
    // The same record twice gives two entries.
    if (i % 10 == 0) {
      recorded.push_back(event);
      store->record(event);
    }
    EXPECT_EQ(store->size(), recorded.size());
    snapshots.push_back(store->snapshot());
  }

  const auto final_list = store->snapshot();
  ASSERT_EQ(final_list.size(), recorded.size());
  for (std::size_t i = 0; i < recorded.size(); ++i) {
    // Snapshots share the recorded records rather than copying them.
    EXPECT_EQ(final_list[i].get(), recorded[i].get()) << i;
  }
  for (const auto& snap : snapshots) {
    ASSERT_LE(snap.size(), final_list.size());
    for (std::size_t i = 0; i < snap.size(); ++i) EXPECT_EQ(snap[i], final_list[i]);
  }
  // A snapshot taken earlier does not see later records.
  EXPECT_EQ(snapshots.front().size(), 2u);
}

TEST(TraceStoreTest, RecordsThroughTheSinkInterface) {
  const auto store = TraceStore::create();
  std::shared_ptr<TraceSink> sink = store;
  sink->record(make_trace_record("pipeline.start", "Executing pipeline with 0 stages"));
  sink->record(make_trace_record("pipeline.complete", "done", TraceLevel::Warn));
  const auto events = store->snapshot();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]->id(), "pipeline.start");
  EXPECT_EQ(events[1]->id(), "pipeline.complete");
  EXPECT_EQ(events[1]->level(), TraceLevel::Warn);
}

TEST(TraceStoreTest, DiscardingStoreKeepsNothingAndReleasesRecords) {
  const auto store = TraceStore::create(TraceStore::Retention::Discard);
  EXPECT_EQ(store->retention(), TraceStore::Retention::Discard);
  std::weak_ptr<const TraceRecord> watch;
  {
    auto event = make_trace_record("a", "b");
    watch = event;
    store->record(event);
    store->record(std::move(event));
  }
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(store->size(), 0u);
  EXPECT_TRUE(store->snapshot().empty());
  EXPECT_EQ(TraceStore::create()->retention(), TraceStore::Retention::Keep);
}

// Several threads record while another keeps taking snapshots: nothing is
// lost, each thread's events stay in its own order, and every snapshot is a
// prefix of the final list.
TEST(TraceStoreTest, ConcurrentRecordersAndSnapshots) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 20000;
  const auto store = TraceStore::create();
  std::atomic<int> running{kThreads};
  std::atomic<bool> go{false};

  std::vector<std::vector<TraceRecordHandle>> snapshots;
  std::thread reader([&] {
    while (!go.load()) std::this_thread::yield();
    while (running.load() > 0) {
      auto snap = store->snapshot();
      EXPECT_LE(snap.size(), std::size_t{kThreads} * kPerThread);
      // Keep a bounded sample, large ones preferred, to check afterwards.
      if (snapshots.size() < 64)
        snapshots.push_back(std::move(snap));
      else
        snapshots[snap.size() % 64] = std::move(snap);
      (void)store->size();
    }
  });

  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kPerThread; ++i) {
        store->record(make_trace_record(std::to_string(t), std::to_string(i)));
      }
      running.fetch_sub(1);
    });
  }
  go.store(true);
  for (auto& w : writers) w.join();
  reader.join();

  const auto final_list = store->snapshot();
  ASSERT_EQ(final_list.size(), std::size_t{kThreads} * kPerThread);
  std::array<int, kThreads> next{};
  for (const auto& event : final_list) {
    const int t = std::stoi(event->id());
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    ASSERT_EQ(std::stoi(event->message()), next[t]) << "thread " << t;
    ++next[t];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kPerThread);

  for (const auto& snap : snapshots) {
    ASSERT_LE(snap.size(), final_list.size());
    for (std::size_t i = 0; i < snap.size(); ++i) {
      ASSERT_EQ(snap[i].get(), final_list[i].get()) << "snapshot of " << snap.size();
    }
  }
}

}  // namespace
}  // namespace tessarin::core
