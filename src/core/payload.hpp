// The byte form in which value objects cross process boundaries (pickle,
// copy). Written and read here, without Python, so that a fuzz target can
// throw arbitrary bytes at the reader.
//
// Every payload starts with two bytes: the format version (kVersion) and the
// kind of object. Integers are little-endian; counts and lengths are LEB128
// varints in their shortest form. Strings are a varint length and UTF-8
// bytes. Configurations and parameter values travel as their canonical JSON,
// the text the graph hash is computed over:
//
//   NodeId              u64 value
//   ModelConfig         canonical config JSON (the rest of the payload)
//   ModelConfigBuilder  flags (bit 0: name set, bit 1: version set), then a
//                       canonical config JSON whose unset fields are ""
//   GraphNode           u64 id, name, config JSON (length-prefixed), varint
//                       entry count, then per metadata entry in its order:
//                       key, canonical value JSON (length-prefixed)
//   BuildGraph          varint node count and edge count; per node the
//                       varint sizes of its four pieces; the pieces of every
//                       node back to back (name, then the configuration's
//                       canonical JSON cut at its fixed keys: the name as a
//                       JSON string, the version as a JSON string, the params
//                       object); then the edges as pairs of u64. The graph's
//                       node arena is these bytes with the identifiers and the
//                       fixed JSON text put back, so loading is a few copies
//                       per node plus the validation of the result.
//   ValidationError     field, message
//   NameValidator,
//   VersionValidator    nothing
//   CompositeValidator  varint count, one byte per rule (0 name, 1 version)
//   TraceLevel          one byte, 0..3
//   TraceEvent          level byte, flags (bit 0: span id, bit 1: trace id),
//                       i64 seconds, u32 nanoseconds, id, message, then the
//                       span id and trace id when present
//   NullBackend         device
//   BuildPipeline       varint count, then the stage names
//
// The reader trusts nothing: it checks every length against the bytes left
// before it allocates, and accepts only what the writers produce (shortest
// varints, zero unused flag bits, well-formed UTF-8, canonical JSON, node
// identifiers 1, 2, 3, ..., unique metadata keys, nothing left over). A value
// it returns is therefore one the library could have built itself, and every
// later operation on it behaves as on any other.
#pragma once

#include "core/graph.hpp"
#include "core/node_metadata.hpp"
#include "core/param_value.hpp"
#include "core/trace.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tessarin::core::payload {

inline constexpr std::uint8_t kVersion = 1;

// The variant index of Value plus one.
enum class Kind : std::uint8_t {
  NodeId = 1,
  ModelConfig,
  ModelConfigBuilder,
  GraphNode,
  BuildGraph,
  ValidationError,
  NameValidator,
  VersionValidator,
  CompositeValidator,
  TraceLevel,
  TraceEvent,
  NullBackend,
  BuildPipeline,
};

// The class name of a kind ("BuildGraph"), or "unknown".
const char* kind_name(Kind kind) noexcept;

struct NodeIdValue {
  std::uint64_t value = 0;
};
struct BuilderValue {
  std::optional<std::string> name;
  std::optional<std::string> version;
  ParamMap params;
};
struct NodeValue {
  std::uint64_t id = 0;
  std::string name;
  ModelConfig config;
  NodeMetadata metadata;
};
struct ValidationErrorValue {
  std::string field;
  std::string message;
};
struct NameValidatorValue {};
struct VersionValidatorValue {};
enum class Rule : std::uint8_t { Name = 0, Version = 1 };
struct CompositeValue {
  std::vector<Rule> rules;
};
struct BackendValue {
  std::string device;
};
struct PipelineValue {
  std::vector<std::string> stages;
};

using Value =
    std::variant<NodeIdValue, ModelConfig, BuilderValue, NodeValue, Graph, ValidationErrorValue,
                 NameValidatorValue, VersionValidatorValue, CompositeValue, TraceLevel,
                 TraceRecordHandle, BackendValue, PipelineValue>;

// The payload of any value. A TraceRecordHandle must not be null.
std::string write(const Value& value);

// A graph's payload written straight into caller-provided memory of exactly
// graph_payload_size(graph) bytes (a Python bytes object, with no copy in
// between).
std::size_t graph_payload_size(const Graph& graph) noexcept;
void write_graph(const Graph& graph, unsigned char* out) noexcept;

struct ReadResult {
  std::optional<Value> value;
  // Why the payload was refused, when `value` is empty.
  std::string error;
};

// Validates `size` bytes at `data` completely and rebuilds the value they
// describe, or explains why they are refused. Never reads outside the given
// bytes, never throws for any input (allocation failure aside).
ReadResult read(const std::uint8_t* data, std::size_t size);

}  // namespace tessarin::core::payload
