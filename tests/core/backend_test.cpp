#include "core/backend.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace tessarin::core {
namespace {

// A run in the background copies the context's backend.
static_assert(std::is_copy_constructible_v<NullBackend>);
static_assert(std::is_nothrow_move_constructible_v<NullBackend>);
static_assert(std::is_abstract_v<Backend>);

TEST(NullBackendTest, AnswersThroughTheInterface) {
  const std::vector<std::string> devices = {"cpu", "", "cuda:0", "d\xc3\xa9vice with spaces"};
  for (const std::string& device : devices) {
    const NullBackend concrete(device);
    const Backend& backend = concrete;
    EXPECT_EQ(backend.name(), "null");
    EXPECT_EQ(backend.device(), device);
    EXPECT_TRUE(backend.is_available());
    const BackendCapabilities caps = backend.capabilities();
    EXPECT_FALSE(caps.memory_bytes.has_value());
    EXPECT_EQ(caps.compute_units, 0u);
    EXPECT_FALSE(caps.supports_f16);
    EXPECT_FALSE(caps.supports_bf16);
    EXPECT_FALSE(caps.supports_async);
    EXPECT_EQ(caps, BackendCapabilities{});
    EXPECT_FALSE(backend.synchronize().has_value());
    for (std::uint64_t bytes : {std::uint64_t{0}, std::uint64_t{1} << 40, UINT64_MAX}) {
      EXPECT_FALSE(backend.allocate_workspace(bytes).has_value());
    }
    // Neither operation changes anything observable.
    EXPECT_EQ(backend.device(), device);
    EXPECT_EQ(backend.capabilities(), BackendCapabilities{});
  }
}

TEST(NullBackendTest, CpuPresetAndCopiesAreIndependent) {
  EXPECT_EQ(NullBackend::cpu().device(), "cpu");
  NullBackend original("gpu");
  const NullBackend copy = original;
  original = NullBackend("other");
  EXPECT_EQ(copy.device(), "gpu");
  EXPECT_EQ(original.device(), "other");
  // A copy outlives the original it came from.
  auto heap = std::make_unique<NullBackend>("tmp");
  const NullBackend survivor = *heap;
  heap.reset();
  EXPECT_EQ(survivor.device(), "tmp");
}

}  // namespace
}  // namespace tessarin::core
