#include "core/node_metadata.hpp"

#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>

namespace tessarin::core {

namespace {

constexpr std::uint64_t splitmix64(std::uint64_t x) noexcept {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A fresh seed per map: a per-process random base stepped by a counter.
std::uint64_t next_seed() noexcept {
  static const std::uint64_t base = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  }();
  static std::atomic<std::uint64_t> counter{0};
  return splitmix64(base + counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace

NodeMetadata::NodeMetadata() : seed_(next_seed()) {}

std::uint64_t NodeMetadata::hash(std::string_view key) const noexcept {
  std::uint64_t h = seed_ ^ (key.size() * 0x9e3779b97f4a7c15ULL);
  const char* p = key.data();
  std::size_t n = key.size();
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = std::rotl((h ^ word) * 0xff51afd7ed558ccdULL, 29);
    p += 8;
    n -= 8;
  }
  std::uint64_t tail = 0;
  if (n != 0) std::memcpy(&tail, p, n);
  h = (h ^ tail) * 0xc4ceb9fe1a85ec53ULL;
  return splitmix64(h);
}

std::size_t NodeMetadata::position_of(std::string_view key) const noexcept {
  if (slots_.empty()) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].key.view() == key) return i;
    }
    return entries_.size();
  }
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t s = hash(key) & mask;; s = (s + 1) & mask) {
    const std::uint32_t position = slots_[s];
    if (position == kEmpty) return entries_.size();
    if (entries_[position].key.view() == key) return position;
  }
}

const ParamValue* NodeMetadata::find(std::string_view key) const noexcept {
  const std::size_t position = position_of(key);
  return position == entries_.size() ? nullptr : &entries_[position].value;
}

void NodeMetadata::index_insert(std::uint32_t position) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t s = hash(entries_[position].key.view()) & mask;
  while (slots_[s] != kEmpty) s = (s + 1) & mask;
  slots_[s] = position;
}

void NodeMetadata::rebuild_index(std::size_t slot_count) {
  slots_.assign(slot_count, kEmpty);
  for (std::size_t i = 0; i < entries_.size(); ++i) index_insert(static_cast<std::uint32_t>(i));
}

void NodeMetadata::insert_or_assign(std::string_view key, ParamValue value) {
  const std::size_t position = position_of(key);
  if (position != entries_.size()) {
    entries_[position].value = std::move(value);
    return;
  }
  if (entries_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) {
    throw std::length_error("too many metadata entries");
  }
  entries_.push_back(ParamEntry{ParamKey(key), std::move(value)});
  const std::size_t n = entries_.size();
  if (slots_.empty()) {
    if (n > kLinearLimit) rebuild_index(std::bit_ceil(n * 4));
  } else if (n * 2 > slots_.size()) {
    rebuild_index(slots_.size() * 2);
  } else {
    index_insert(static_cast<std::uint32_t>(n - 1));
  }
}

}  // namespace tessarin::core
