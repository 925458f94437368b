// Canonical JSON of parameter values and configurations, and its parser.
//
// The writer produces the one text per value that the stable graph hash is
// computed over: compact, object entries in ascending key byte order,
// integers without '.' or 'e', floats always with one of them, strings with
// a single escape per byte.
//
// Because that text round-trips exactly, the graph keeps each node's
// configuration only as its canonical JSON and rebuilds a ModelConfig from it
// on demand. The parser therefore accepts exactly the writer's output and
// nothing else: it exists to read bytes this library wrote, but it treats
// its input as untrusted (every malformed or non-canonical input yields an
// error, never undefined behaviour).
#pragma once

#include "core/param_value.hpp"

#include <string>
#include <string_view>

namespace tessarin::core {

// Appends the canonical JSON of one value. Recursion depth follows the
// value's nesting, which every conversion bounds by kMaxParamDepth.
void append_canonical_value(std::string& out, const ParamValue& value);

// Appends a map as a JSON object (entries are already in key order).
void append_canonical_object(std::string& out, ParamMapView entries);

// Appends {"name":...,"version":...,"params":{...}}.
void append_canonical_config(std::string& out, const ModelConfig& config);
std::string canonical_config_json(const ModelConfig& config);

// Parses text written by append_canonical_value / append_canonical_config.
// On failure returns false, leaves `out` unspecified and, when `error` is
// given, stores a short description with the byte offset of the problem.
bool parse_canonical_value(std::string_view json, ParamValue& out, std::string* error = nullptr);
bool parse_canonical_config(std::string_view json, ModelConfig& out, std::string* error = nullptr);

}  // namespace tessarin::core
