// Free-form metadata of a graph node record: string keys to parameter
// values, listed in insertion order (a replaced key keeps its place, as in a
// Python dict). Metadata never enters the graph hash, so its order is only
// what Python code sees when it reads the metadata back.
//
// Small maps (the usual case) are a plain vector searched linearly; once a
// map grows past kLinearLimit entries a hash index over the positions is
// built, so that adding many keys stays linear overall rather than
// quadratic. The index hash is seeded per map, so keys chosen to collide
// under one seed do not collide under another.
#pragma once

#include "core/param_value.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tessarin::core {

class NodeMetadata {
 public:
  static constexpr std::size_t kLinearLimit = 8;

  NodeMetadata();

  // Inserts a new key at the end, or replaces the value of an existing key
  // in place.
  void insert_or_assign(std::string_view key, ParamValue value);
  const ParamValue* find(std::string_view key) const noexcept;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  const ParamEntry* begin() const noexcept { return entries_.data(); }
  const ParamEntry* end() const noexcept { return entries_.data() + entries_.size(); }

 private:
  static constexpr std::uint32_t kEmpty = 0xffffffffu;

  std::uint64_t hash(std::string_view key) const noexcept;
  // Position of `key` in entries_, or entries_.size() when absent.
  std::size_t position_of(std::string_view key) const noexcept;
  void rebuild_index(std::size_t slot_count);
  void index_insert(std::uint32_t position) noexcept;

  std::vector<ParamEntry> entries_;
  // Open addressing with linear probing over positions into entries_;
  // empty until the map outgrows the linear search. Kept at most half full.
  std::vector<std::uint32_t> slots_;
  std::uint64_t seed_;
};

}  // namespace tessarin::core
