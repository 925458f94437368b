#include "core/payload.hpp"

#include "core/canonical_json.hpp"
#include "core/canonical_scan.hpp"
#include "core/json_text.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <utility>

namespace tessarin::core::payload {

namespace {

// ------------------------------------------------------------------ writing

std::size_t varint_size(std::uint64_t value) noexcept {
  std::size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

unsigned char* put_varint(unsigned char* out, std::uint64_t value) noexcept {
  while (value >= 0x80) {
    *out++ = static_cast<unsigned char>(value | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<unsigned char>(value);
  return out;
}

unsigned char* put_u64(unsigned char* out, std::uint64_t value) noexcept {
  for (int i = 0; i < 8; ++i) *out++ = static_cast<unsigned char>(value >> (8 * i));
  return out;
}

class Writer {
 public:
  explicit Writer(Kind kind) {
    out_.push_back(static_cast<char>(kVersion));
    out_.push_back(static_cast<char>(kind));
  }
  void byte(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }
  void varint(std::uint64_t value) {
    unsigned char buf[10];
    out_.append(reinterpret_cast<const char*>(buf),
                static_cast<std::size_t>(put_varint(buf, value) - buf));
  }
  void u64(std::uint64_t value) {
    unsigned char buf[8];
    put_u64(buf, value);
    out_.append(reinterpret_cast<const char*>(buf), 8);
  }
  void text(std::string_view value) {
    varint(value.size());
    out_.append(value);
  }
  std::string& raw() noexcept { return out_; }
  std::string take() noexcept { return std::move(out_); }

 private:
  std::string out_;
};

std::string config_json(const ModelConfig& config) {
  std::string json;
  append_canonical_config(json, config);
  return json;
}

struct WriteVisitor {
  std::string operator()(const NodeIdValue& v) const {
    Writer w(Kind::NodeId);
    w.u64(v.value);
    return w.take();
  }
  std::string operator()(const ModelConfig& v) const {
    Writer w(Kind::ModelConfig);
    append_canonical_config(w.raw(), v);
    return w.take();
  }
  std::string operator()(const BuilderValue& v) const {
    Writer w(Kind::ModelConfigBuilder);
    w.byte(static_cast<std::uint8_t>((v.name ? 1 : 0) | (v.version ? 2 : 0)));
    // The config JSON carries the parameters; an unset field is written as
    // the empty string, which the flags tell apart from a set empty one.
    w.raw() += "{\"name\":";
    append_json_string(w.raw(), v.name.value_or(std::string()));
    w.raw() += ",\"version\":";
    append_json_string(w.raw(), v.version.value_or(std::string()));
    w.raw() += ",\"params\":";
    append_canonical_object(w.raw(), v.params.view());
    w.raw() += '}';
    return w.take();
  }
  std::string operator()(const NodeValue& v) const {
    Writer w(Kind::GraphNode);
    w.u64(v.id);
    w.text(v.name);
    w.text(config_json(v.config));
    w.varint(v.metadata.size());
    std::string json;
    for (const ParamEntry& entry : v.metadata) {
      w.text(entry.key.view());
      json.clear();
      append_canonical_value(json, entry.value);
      w.text(json);
    }
    return w.take();
  }
  std::string operator()(const Graph& v) const {
    std::string out(graph_payload_size(v), '\0');
    write_graph(v, reinterpret_cast<unsigned char*>(out.data()));
    return out;
  }
  std::string operator()(const ValidationErrorValue& v) const {
    Writer w(Kind::ValidationError);
    w.text(v.field);
    w.text(v.message);
    return w.take();
  }
  std::string operator()(const NameValidatorValue&) const {
    return Writer(Kind::NameValidator).take();
  }
  std::string operator()(const VersionValidatorValue&) const {
    return Writer(Kind::VersionValidator).take();
  }
  std::string operator()(const CompositeValue& v) const {
    Writer w(Kind::CompositeValidator);
    w.varint(v.rules.size());
    for (Rule rule : v.rules) w.byte(static_cast<std::uint8_t>(rule));
    return w.take();
  }
  std::string operator()(const TraceLevel& v) const {
    Writer w(Kind::TraceLevel);
    w.byte(static_cast<std::uint8_t>(v));
    return w.take();
  }
  std::string operator()(const TraceRecordHandle& v) const {
    Writer w(Kind::TraceEvent);
    w.byte(static_cast<std::uint8_t>(v->level()));
    w.byte(static_cast<std::uint8_t>((v->span_id() ? 1 : 0) | (v->trace_id() ? 2 : 0)));
    w.u64(static_cast<std::uint64_t>(v->timestamp().secs));
    const std::uint32_t nanos = v->timestamp().nanos;
    for (int i = 0; i < 4; ++i) w.byte(static_cast<std::uint8_t>(nanos >> (8 * i)));
    w.text(v->id());
    w.text(v->message());
    if (v->span_id()) w.text(*v->span_id());
    if (v->trace_id()) w.text(*v->trace_id());
    return w.take();
  }
  std::string operator()(const BackendValue& v) const {
    Writer w(Kind::NullBackend);
    w.text(v.device);
    return w.take();
  }
  std::string operator()(const PipelineValue& v) const {
    Writer w(Kind::BuildPipeline);
    w.varint(v.stages.size());
    for (const std::string& stage : v.stages) w.text(stage);
    return w.take();
  }
};

// ------------------------------------------------------------------ reading

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) noexcept : p_(data), end_(data + size) {}

  std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - p_); }
  bool done() const noexcept { return p_ == end_; }
  const std::uint8_t* cursor() const noexcept { return p_; }

  bool fail(std::string what) {
    if (error_.empty()) error_ = std::move(what);
    return false;
  }
  std::string take_error() noexcept { return std::move(error_); }

  bool byte(std::uint8_t& out) {
    if (p_ == end_) return fail("truncated");
    out = *p_++;
    return true;
  }
  // An unsigned integer of sizeof(T) bytes, little-endian.
  template <class T>
  bool fixed(T& out) {
    if (left() < sizeof(T)) return fail("truncated");
    out = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
      out |= static_cast<T>(static_cast<T>(p_[i]) << (8 * i));
    p_ += sizeof(T);
    return true;
  }
  bool u64(std::uint64_t& out) { return fixed(out); }
  bool u32(std::uint32_t& out) { return fixed(out); }
  // LEB128 in its shortest form, at most 64 bits.
  bool varint(std::uint64_t& out) {
    out = 0;
    for (int shift = 0;; shift += 7) {
      if (p_ == end_) return fail("truncated");
      const std::uint8_t b = *p_++;
      if (shift == 63 && b > 1) return fail("length out of range");
      out |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) {
        if (b == 0 && shift > 0) return fail("non-minimal length");
        return true;
      }
    }
  }
  // A count of items that take at least `min_size` bytes each.
  bool count(std::uint64_t& out, std::size_t min_size) {
    if (!varint(out)) return false;
    if (min_size > 0 && out > left() / min_size) return fail("count larger than the payload");
    return true;
  }
  bool bytes(std::uint64_t size, std::string_view& out) {
    if (size > left()) return fail("length runs past the end");
    out = std::string_view(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(size));
    p_ += size;
    return true;
  }
  // A length-prefixed UTF-8 string.
  bool text(std::string_view& out) {
    std::uint64_t size = 0;
    if (!varint(size) || !bytes(size, out)) return false;
    if (!is_valid_utf8(out)) return fail("string is not valid UTF-8");
    return true;
  }
  bool text(std::string& out) {
    std::string_view view;
    if (!text(view)) return false;
    out.assign(view);
    return true;
  }
  std::string_view rest() noexcept {
    std::string_view out(reinterpret_cast<const char*>(p_), left());
    p_ = end_;
    return out;
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
  std::string error_;
};

bool read_config_json(Reader& r, std::string_view json, ModelConfig& out) {
  CanonicalScanner scanner;
  if (!scanner.config(json)) return r.fail("configuration: " + scanner.error());
  if (!parse_canonical_config(json, out)) return r.fail("configuration is not canonical");
  return true;
}

bool read_value_json(Reader& r, std::string_view json, ParamValue& out) {
  CanonicalScanner scanner;
  if (!scanner.value(json)) return r.fail("metadata value: " + scanner.error());
  if (!parse_canonical_value(json, out)) return r.fail("metadata value is not canonical");
  return true;
}

std::optional<Value> read_node_id(Reader& r) {
  NodeIdValue v;
  if (!r.u64(v.value)) return std::nullopt;
  return Value(v);
}

std::optional<Value> read_config(Reader& r) {
  ModelConfig config;
  if (!read_config_json(r, r.rest(), config)) return std::nullopt;
  return Value(std::move(config));
}

std::optional<Value> read_builder(Reader& r) {
  std::uint8_t flags = 0;
  if (!r.byte(flags)) return std::nullopt;
  if (flags > 3) return r.fail("unknown flags"), std::nullopt;
  ModelConfig config;
  if (!read_config_json(r, r.rest(), config)) return std::nullopt;
  if ((!(flags & 1) && !config.name.empty()) || (!(flags & 2) && !config.version.empty())) {
    return r.fail("unset field with a value"), std::nullopt;
  }
  BuilderValue v;
  if (flags & 1) v.name = std::move(config.name);
  if (flags & 2) v.version = std::move(config.version);
  v.params = std::move(config.params);
  return Value(std::move(v));
}

std::optional<Value> read_node(Reader& r) {
  NodeValue v;
  std::string_view json;
  std::uint64_t entries = 0;
  if (!r.u64(v.id) || !r.text(v.name) || !r.text(json)) return std::nullopt;
  if (!read_config_json(r, json, v.config)) return std::nullopt;
  // An entry takes at least a key length, a value length and one value byte.
  if (!r.count(entries, 3)) return std::nullopt;
  for (std::uint64_t i = 0; i < entries; ++i) {
    std::string_view key;
    ParamValue value;
    if (!r.text(key) || !r.text(json) || !read_value_json(r, json, value)) return std::nullopt;
    if (v.metadata.find(key) != nullptr) return r.fail("repeated metadata key"), std::nullopt;
    v.metadata.insert_or_assign(key, std::move(value));
  }
  return Value(std::move(v));
}

// The fixed text of a configuration's canonical JSON around its three parts.
constexpr std::string_view kNameKey = "{\"name\":";
constexpr std::string_view kVersionKey = ",\"version\":";
constexpr std::string_view kParamsKey = ",\"params\":";
constexpr std::size_t kFixedJson = 8 + 11 + 10 + 1;

// Length of the JSON string token at the start of `text` (up to and
// including its closing quote), or 0 when there is none.
std::size_t string_token(std::string_view text) noexcept {
  if (text.empty() || text[0] != '"') return 0;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return 0;
}

// A node's configuration JSON cut into its name string, version string and
// params object (the canonical text always has this shape).
struct ConfigPieces {
  std::string_view name, version, params;
};
ConfigPieces cut_config(std::string_view json) noexcept {
  ConfigPieces pieces;
  std::string_view rest = json.substr(kNameKey.size());
  pieces.name = rest.substr(0, string_token(rest));
  rest.remove_prefix(pieces.name.size() + kVersionKey.size());
  pieces.version = rest.substr(0, string_token(rest));
  rest.remove_prefix(pieces.version.size() + kParamsKey.size());
  pieces.params = rest.substr(0, rest.size() - 1);
  return pieces;
}

std::optional<Value> read_graph(Reader& r) {
  std::uint64_t nodes = 0, edges = 0;
  // A node takes at least four index bytes and six piece bytes ("", "", {}).
  if (!r.count(nodes, 10) || !r.count(edges, 16)) return std::nullopt;
  struct Sizes {
    std::uint64_t name, cname, version, params;
  };
  std::vector<Sizes> sizes(static_cast<std::size_t>(nodes));
  std::vector<Graph::NodeExtent> extents;
  extents.reserve(sizes.size());
  std::uint64_t data_size = 0;
  for (Sizes& s : sizes) {
    if (!r.varint(s.name) || !r.varint(s.cname) || !r.varint(s.version) || !r.varint(s.params))
      return std::nullopt;
    // Each piece lies within the payload, so the sums cannot overflow.
    const std::uint64_t limit = r.left();
    if (s.name > limit || s.cname > limit || s.version > limit || s.params > limit)
      return r.fail("node size runs past the end"), std::nullopt;
    data_size += s.name + s.cname + s.version + s.params;
    if (data_size > limit) return r.fail("node sizes run past the end"), std::nullopt;
    extents.push_back({8 + s.name + kFixedJson + s.cname + s.version + s.params, s.name});
  }
  std::string_view data;
  if (!r.bytes(data_size, data)) return std::nullopt;
  if (r.left() != edges * 16) return r.fail("edge array has the wrong length"), std::nullopt;
  // The cut must be the writer's: the two strings are single string tokens.
  // (The joined text alone could also parse when cut elsewhere, with keys
  // "version" and "params" inside the params object.)
  std::size_t at = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const Sizes& s = sizes[i];
    const std::string_view cname = data.substr(at + s.name, s.cname);
    const std::string_view version = data.substr(at + s.name + s.cname, s.version);
    if (string_token(cname) != cname.size() || string_token(version) != version.size())
      return r.fail("node " + std::to_string(i + 1) + ": configuration is not cut at its keys"),
             std::nullopt;
    at += static_cast<std::size_t>(s.name + s.cname + s.version + s.params);
  }

  std::vector<GraphEdge> edge_list(static_cast<std::size_t>(edges));
  if constexpr (std::endian::native == std::endian::little) {
    if (edges > 0) std::memcpy(edge_list.data(), r.cursor(), edge_list.size() * sizeof(GraphEdge));
    r.rest();
  } else {
    for (GraphEdge& edge : edge_list) {
      r.u64(edge.from);
      r.u64(edge.to);
    }
  }

  const char* piece = data.data();
  auto put = [](unsigned char* out, const void* bytes, std::size_t size) {
    if (size != 0) std::memcpy(out, bytes, size);
    return out + size;
  };
  Graph graph = Graph::adopt(extents, std::move(edge_list),
                             [&](std::size_t first, std::size_t last, unsigned char* out) {
                               for (std::size_t i = first; i < last; ++i) {
                                 const Sizes& s = sizes[i];
                                 out = put_u64(out, i + 1);
                                 out = put(out, piece, s.name);
                                 piece += s.name;
                                 out = put(out, kNameKey.data(), kNameKey.size());
                                 out = put(out, piece, s.cname);
                                 piece += s.cname;
                                 out = put(out, kVersionKey.data(), kVersionKey.size());
                                 out = put(out, piece, s.version);
                                 piece += s.version;
                                 out = put(out, kParamsKey.data(), kParamsKey.size());
                                 out = put(out, piece, s.params);
                                 piece += s.params;
                                 *out++ = '}';
                               }
                             });

  CanonicalScanner scanner;
  for (std::size_t i = 0; i < graph.node_count(); ++i) {
    const NodeRecord node = graph.node(i);
    if (!is_valid_utf8(node.name)) {
      return r.fail("node " + std::to_string(i + 1) + ": name is not valid UTF-8"), std::nullopt;
    }
    if (!scanner.config(node.config_json)) {
      return r.fail("node " + std::to_string(i + 1) + " configuration: " + scanner.error()),
             std::nullopt;
    }
  }
  return Value(std::move(graph));
}

std::optional<Value> read_validation_error(Reader& r) {
  ValidationErrorValue v;
  if (!r.text(v.field) || !r.text(v.message)) return std::nullopt;
  return Value(std::move(v));
}

std::optional<Value> read_composite(Reader& r) {
  std::uint64_t count = 0;
  if (!r.count(count, 1)) return std::nullopt;
  CompositeValue v;
  v.rules.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint8_t rule = 0;
    r.byte(rule);
    if (rule > 1) return r.fail("unknown rule"), std::nullopt;
    v.rules.push_back(static_cast<Rule>(rule));
  }
  return Value(std::move(v));
}

std::optional<Value> read_level(Reader& r) {
  std::uint8_t level = 0;
  if (!r.byte(level)) return std::nullopt;
  if (level > 3) return r.fail("unknown level"), std::nullopt;
  return Value(static_cast<TraceLevel>(level));
}

std::optional<Value> read_event(Reader& r) {
  std::uint8_t level = 0, flags = 0;
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;
  std::string id, message;
  std::optional<std::string> span, trace;
  if (!r.byte(level) || !r.byte(flags) || !r.u64(secs) || !r.u32(nanos)) return std::nullopt;
  if (level > 3) return r.fail("unknown level"), std::nullopt;
  if (flags > 3) return r.fail("unknown flags"), std::nullopt;
  if (nanos >= 1'000'000'000u) return r.fail("nanoseconds out of range"), std::nullopt;
  if (!r.text(id) || !r.text(message)) return std::nullopt;
  if (flags & 1) {
    if (!r.text(span.emplace())) return std::nullopt;
  }
  if (flags & 2) {
    if (!r.text(trace.emplace())) return std::nullopt;
  }
  WallTime time{static_cast<std::int64_t>(secs), nanos};
  return Value(std::make_shared<const TraceRecord>(std::move(id), std::move(message),
                                                   static_cast<TraceLevel>(level), std::move(span),
                                                   std::move(trace), time));
}

std::optional<Value> read_backend(Reader& r) {
  BackendValue v;
  if (!r.text(v.device)) return std::nullopt;
  return Value(std::move(v));
}

std::optional<Value> read_pipeline(Reader& r) {
  std::uint64_t count = 0;
  if (!r.count(count, 1)) return std::nullopt;
  PipelineValue v;
  v.stages.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!r.text(v.stages.emplace_back())) return std::nullopt;
  }
  return Value(std::move(v));
}

}  // namespace

const char* kind_name(Kind kind) noexcept {
  switch (kind) {
    case Kind::NodeId:
      return "NodeId";
    case Kind::ModelConfig:
      return "ModelConfig";
    case Kind::ModelConfigBuilder:
      return "ModelConfigBuilder";
    case Kind::GraphNode:
      return "GraphNode";
    case Kind::BuildGraph:
      return "BuildGraph";
    case Kind::ValidationError:
      return "ValidationError";
    case Kind::NameValidator:
      return "NameValidator";
    case Kind::VersionValidator:
      return "VersionValidator";
    case Kind::CompositeValidator:
      return "CompositeValidator";
    case Kind::TraceLevel:
      return "TraceLevel";
    case Kind::TraceEvent:
      return "TraceEvent";
    case Kind::NullBackend:
      return "NullBackend";
    case Kind::BuildPipeline:
      return "BuildPipeline";
  }
  return "unknown";
}

std::string write(const Value& value) { return std::visit(WriteVisitor{}, value); }

std::size_t graph_payload_size(const Graph& graph) noexcept {
  std::size_t size = 2 + varint_size(graph.node_count()) + varint_size(graph.edge_count());
  for (std::size_t i = 0; i < graph.node_count(); ++i) {
    const NodeRecord node = graph.node(i);
    const ConfigPieces pieces = cut_config(node.config_json);
    size += varint_size(node.name.size()) + varint_size(pieces.name.size()) +
            varint_size(pieces.version.size()) + varint_size(pieces.params.size());
    size += node.name.size() + node.config_json.size() - kFixedJson;
  }
  return size + graph.edge_count() * 16;
}

void write_graph(const Graph& graph, unsigned char* out) noexcept {
  *out++ = kVersion;
  *out++ = static_cast<unsigned char>(Kind::BuildGraph);
  out = put_varint(out, graph.node_count());
  out = put_varint(out, graph.edge_count());
  for (std::size_t i = 0; i < graph.node_count(); ++i) {
    const NodeRecord node = graph.node(i);
    const ConfigPieces pieces = cut_config(node.config_json);
    out = put_varint(out, node.name.size());
    out = put_varint(out, pieces.name.size());
    out = put_varint(out, pieces.version.size());
    out = put_varint(out, pieces.params.size());
  }
  for (std::size_t i = 0; i < graph.node_count(); ++i) {
    const NodeRecord node = graph.node(i);
    const ConfigPieces pieces = cut_config(node.config_json);
    std::memcpy(out, node.name.data(), node.name.size());
    out += node.name.size();
    // The three pieces are adjacent but for the fixed keys between them.
    std::memcpy(out, pieces.name.data(), pieces.name.size());
    out += pieces.name.size();
    std::memcpy(out, pieces.version.data(), pieces.version.size());
    out += pieces.version.size();
    std::memcpy(out, pieces.params.data(), pieces.params.size());
    out += pieces.params.size();
  }
  for (const GraphEdge& edge : graph.edges()) {
    out = put_u64(out, edge.from);
    out = put_u64(out, edge.to);
  }
}

ReadResult read(const std::uint8_t* data, std::size_t size) {
  ReadResult result;
  if (size < 2) {
    result.error = "truncated payload";
    return result;
  }
  if (data[0] != kVersion) {
    result.error = "unsupported payload version " + std::to_string(data[0]) +
                   " (this build reads version " + std::to_string(kVersion) + ")";
    return result;
  }
  const auto kind = static_cast<Kind>(data[1]);
  Reader r(data + 2, size - 2);
  std::optional<Value> value;
  switch (kind) {
    case Kind::NodeId:
      value = read_node_id(r);
      break;
    case Kind::ModelConfig:
      value = read_config(r);
      break;
    case Kind::ModelConfigBuilder:
      value = read_builder(r);
      break;
    case Kind::GraphNode:
      value = read_node(r);
      break;
    case Kind::BuildGraph:
      value = read_graph(r);
      break;
    case Kind::ValidationError:
      value = read_validation_error(r);
      break;
    case Kind::NameValidator:
    case Kind::VersionValidator:
      value = kind == Kind::NameValidator ? Value(NameValidatorValue{})
                                          : Value(VersionValidatorValue{});
      break;
    case Kind::CompositeValidator:
      value = read_composite(r);
      break;
    case Kind::TraceLevel:
      value = read_level(r);
      break;
    case Kind::TraceEvent:
      value = read_event(r);
      break;
    case Kind::NullBackend:
      value = read_backend(r);
      break;
    case Kind::BuildPipeline:
      value = read_pipeline(r);
      break;
    default:
      result.error = "unknown payload kind " + std::to_string(data[1]);
      return result;
  }
  if (value && !r.done()) {
    r.fail("trailing bytes");
    value.reset();
  }
  if (!value) {
    std::string why = r.take_error();
    result.error = std::string(kind_name(kind)) + " payload: " + (why.empty() ? "malformed" : why);
    return result;
  }
  result.value = std::move(value);
  return result;
}

}  // namespace tessarin::core::payload
