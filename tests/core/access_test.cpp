#include "core/access.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace tessarin::core;

constexpr auto kShared = AccessMode::shared;
constexpr auto kExclusive = AccessMode::exclusive;

// Waits as a thread without an interpreter would: it just blocks. Given a
// `stop`, it blocks in slices until `stop` is set, then gives up.
class TestWait final : public AccessWait {
 public:
  explicit TestWait(const std::atomic<bool>* stop = nullptr) : stop_(stop) {}
  std::optional<std::chrono::milliseconds> may_wait() override {
    return stop_ != nullptr ? 1ms : std::chrono::milliseconds::max();
  }
  void wait(AccessBlock& block) override {
    block.block();
    while (stop_ != nullptr && !stop_->load()) block.block();
  }
  bool interrupted() override { return stop_ != nullptr && stop_->load(); }

 private:
  const std::atomic<bool>* stop_;
};

// Access held for the object's lifetime and counted as this thread's, as
// the binding does it.
class Held {
 public:
  Held(AccessFlag& flag, AccessMode mode, TestWait wait = TestWait())
      : flag_(flag), mode_(mode), outcome_(flag.acquire(mode, wait)) {
    if (granted()) ++accesses_held_by_this_thread();
  }
  ~Held() {
    if (!granted()) return;
    --accesses_held_by_this_thread();
    flag_.release(mode_);
  }
  bool granted() const { return outcome_ == AccessOutcome::granted; }
  AccessOutcome outcome() const { return outcome_; }

 private:
  AccessFlag& flag_;
  AccessMode mode_;
  AccessOutcome outcome_;
};

// Spins until `done`; false after ten seconds.
bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(AccessFlagTest, ThreadsWaitTheirTurnNestedReadsGoAheadSecondObjectsAreRefused) {
  // Readers and writers on four threads: a writer's two steps are never
  // seen half done (and ThreadSanitizer watches the plain int).
  AccessFlag flag;
  int value = 0;
  std::atomic<int> writes{0};
  std::vector<std::thread> crowd;
  for (int t = 0; t < 4; ++t) {
    crowd.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const bool write = (i + t) % 3 == 0;
        Held held(flag, write ? kExclusive : kShared);
        ASSERT_TRUE(held.granted());
        if (write) {
          value += 1;
          value += 1;
          ++writes;
        }
        ASSERT_EQ(value % 2, 0);
      }
    });
  }
  for (std::thread& t : crowd) t.join();
  EXPECT_EQ(value, 2 * writes.load());

  // This thread reads; a writer comes and waits, and a reader after it
  // waits behind it rather than starving it.
  std::atomic<int> turn{0};
  int writer_turn = 0;
  int reader_turn = 0;
  std::optional<Held> outer(std::in_place, flag, kShared);
  std::thread writer([&] {
    Held write(flag, kExclusive);
    writer_turn = ++turn;
  });
  ASSERT_TRUE(eventually([&] { return flag.waiting() == 1; }));
  std::thread reader([&] {
    Held read(flag, kShared);
    reader_turn = ++turn;
  });
  ASSERT_TRUE(eventually([&] { return flag.waiting() == 2; }));
  // Requests that must be answered at once: a wait that did begin would
  // give up after a millisecond, as interrupted. A thread never waits on
  // itself: its nested read goes ahead of the waiting writer, its nested
  // write is refused.
  const std::atomic<bool> yes{true};
  EXPECT_TRUE(Held(flag, kShared, TestWait(&yes)).granted());
  EXPECT_EQ(Held(flag, kExclusive, TestWait(&yes)).outcome(), AccessOutcome::refused);

  // Nor for a second object, held by another thread: while this thread
  // holds the first, it is refused at once; a thread holding nothing waits.
  AccessFlag second;
  std::atomic<bool> taken{false};
  std::atomic<bool> let_go{false};
  std::thread holder([&] {
    Held write(second, kExclusive);
    taken = true;
    ASSERT_TRUE(eventually([&] { return let_go.load(); }));
  });
  ASSERT_TRUE(eventually([&] { return taken.load(); }));
  EXPECT_EQ(Held(second, kShared, TestWait(&yes)).outcome(), AccessOutcome::refused);
  EXPECT_EQ(Held(second, kExclusive, TestWait(&yes)).outcome(), AccessOutcome::refused);
  std::thread patient([&] { EXPECT_TRUE(Held(second, kShared).granted()); });
  ASSERT_TRUE(eventually([&] { return second.waiting() == 1; }));
  let_go = true;
  holder.join();
  patient.join();

  outer.reset();
  writer.join();
  reader.join();
  EXPECT_EQ(writer_turn, 1);
  EXPECT_EQ(reader_turn, 2);

  // A waiting writer that gives up (Ctrl-C in the binding) leaves nothing
  // behind: the reader it held back goes ahead.
  outer.emplace(flag, kShared);
  std::atomic<bool> stop{false};
  AccessOutcome given_up = AccessOutcome::granted;
  std::thread quitter([&] { given_up = Held(flag, kExclusive, TestWait(&stop)).outcome(); });
  ASSERT_TRUE(eventually([&] { return flag.waiting() == 1; }));
  std::thread late([&] { EXPECT_TRUE(Held(flag, kShared).granted()); });
  ASSERT_TRUE(eventually([&] { return flag.waiting() == 2; }));
  stop = true;
  quitter.join();
  late.join();
  EXPECT_EQ(given_up, AccessOutcome::interrupted);
  outer.reset();
  EXPECT_EQ(flag.waiting(), 0u);
  EXPECT_TRUE(Held(flag, kExclusive).granted());
}

}  // namespace
