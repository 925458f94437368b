#include "python/graph.hpp"

#include "core/node_metadata.hpp"
#include "python/access.hpp"
#include "python/args.hpp"
#include "python/config.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"
#include "python/pytype.hpp"
#include "python/reenter.h"

#include <optional>
#include <string>

namespace tessarin::py {

using core::ModelConfig;
using core::ParamValue;

namespace {

constexpr const char* kConvertValue = "Failed to convert value: ";
constexpr const char* kConvertMetadata = "Failed to convert metadata: ";

// -------------------------------------------------------------------- NodeId

struct NodeIdValue {
  std::uint64_t value;
};

std::uint64_t node_id_of(PyObject* obj) { return value_of<NodeIdValue>(obj).value; }

// An unsigned 64-bit argument: an int as it is, anything else through its
// __index__. Out-of-range values are refused with one message for both ends.
std::uint64_t u64_arg(PyObject* obj, const char* function, const char* name) {
  Ref index;
  if (PyLong_Check(obj)) {
    index = Ref::borrow(obj);
  } else {
    if (!PyIndex_Check(obj)) raise_argument_type(function, name, "int", obj);
    // A user's __index__ (python/reenter.h).
    index = Ref::steal(tessarin_parking_unary(PyNumber_Index, obj));
    if (!index) throw_python_error();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_python_error();
    PyErr_Clear();
    raise(PyExc_OverflowError, std::string(function) + "() argument '" + name +
                                   "' must be in range 0..18446744073709551615");
  }
  return value;
}

PyObject* node_id_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"NodeId", {"value"}, 1};
    PyObject* argv[1];
    parse_args(sig, args, kwargs, argv);
    return new_node_id(u64_arg(argv[0], sig.function, "value"));
  });
}

PyObject* node_id_get_value(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] {
    PyObject* result = PyLong_FromUnsignedLongLong(node_id_of(self));
    if (result == nullptr) throw_python_error();
    return result;
  });
}

PyObject* node_id_int(PyObject* self) { return node_id_get_value(self, nullptr); }

// The value read as a signed 64-bit integer; -1 is the interpreter's error
// marker, so it (that is, 2**64 - 1) hashes as -2 like 2**64 - 2 does.
Py_hash_t node_id_hash(PyObject* self) {
  static_assert(sizeof(Py_hash_t) == sizeof(std::uint64_t), "64-bit hashes expected");
  const auto hash = static_cast<Py_hash_t>(static_cast<std::int64_t>(node_id_of(self)));
  return hash == -1 ? -2 : hash;
}

PyObject* node_id_richcompare(PyObject* self, PyObject* other, int op) {
  return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    switch (op) {
      case Py_EQ:
        if (!is_node_id(other)) return Py_NewRef(Py_NotImplemented);
        return Py_NewRef(node_id_of(self) == node_id_of(other) ? Py_True : Py_False);
      case Py_NE: {
        // The negation of the full `self == other`, reflected operation and
        // identity fallback included, so != never disagrees with ==.
        Ref equal = Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
        if (!equal) throw_python_error();
        const int truth = PyObject_IsTrue(equal.get());
        if (truth < 0) throw_python_error();
        return Py_NewRef(truth ? Py_False : Py_True);
      }
      default:
        // Identifiers are not ordered.
        return Py_NewRef(Py_NotImplemented);
    }
  });
}

PyObject* node_id_repr(PyObject* self) {
  return boundary<PyObject*>(
      nullptr, [&] { return new_str("NodeId(" + std::to_string(node_id_of(self)) + ")"); });
}

PyGetSetDef node_id_getset[] = {
    {"value", node_id_get_value, nullptr, "Numeric value of this identifier.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char node_id_doc[] =
    "NodeId(value)\n--\n\n"
    "Unique identifier for a graph node.\n\n"
    "Node identifiers are assigned sequentially when nodes are added to a\n"
    "graph. They are hashable and can be used as dictionary keys.\n\n"
    "Example:\n"
    "    >>> node_id = graph.add_node(\"encoder\", config)\n"
    "    >>> int(node_id)\n"
    "    1";

PyType_Slot node_id_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(node_id_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<NodeIdValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(node_id_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(node_id_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(node_id_richcompare)},
    {Py_nb_int, reinterpret_cast<void*>(node_id_int)},
    {Py_tp_getset, node_id_getset},
    {Py_tp_doc, const_cast<char*>(node_id_doc)},
    {0, nullptr},
};

PyType_Spec node_id_spec = {
    "builtins.NodeId", sizeof(Box<NodeIdValue>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    node_id_slots,
};

// ----------------------------------------------------------------- GraphNode

struct NodeData {
  AccessFlag access;
  std::uint64_t id;
  std::string name;
  ModelConfig config;
  core::NodeMetadata metadata;

  NodeData(std::uint64_t i, std::string n, ModelConfig c)
      : id(i), name(std::move(n)), config(std::move(c)) {}
  // A copy with a free access flag of its own.
  NodeData(const NodeData& other)
      : id(other.id), name(other.name), config(other.config), metadata(other.metadata) {}
};

NodeData& node_of(PyObject* self) { return value_of<NodeData>(self); }

PyObject* graph_node_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"GraphNode", {"id", "name", "config"}, 3};
    PyObject* argv[3];
    parse_args(sig, args, kwargs, argv);
    if (!is_node_id(argv[0])) raise_argument_type(sig.function, "id", "NodeId", argv[0]);
    std::string_view name = arg_str(argv[1], sig.function, "name");
    ModelConfig config = config_arg_copy(argv[2], sig.function, "config");
    return new_instance<NodeData>(graph_node_type(), node_id_of(argv[0]), std::string(name),
                                  std::move(config));
  });
}

PyObject* graph_node_get_id(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] {
    SharedAccess read(node_of(self).access);
    return new_node_id(node_of(self).id);
  });
}

PyObject* graph_node_get_name(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] {
    SharedAccess read(node_of(self).access);
    return new_str(node_of(self).name);
  });
}

PyObject* graph_node_get_config(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] {
    SharedAccess read(node_of(self).access);
    return new_model_config(node_of(self).config);
  });
}

PyObject* graph_node_get_metadata(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] {
    NodeData& data = node_of(self);
    SharedAccess read(data.access);
    return to_python_or_raise(kConvertMetadata, [&] {
      Ref dict = Ref::steal(PyDict_New());
      if (!dict) throw_python_error();
      for (const core::ParamEntry& entry : data.metadata) {
        Ref key = Ref::steal(new_str(entry.key.view()));
        Ref value = Ref::steal(param_to_python(entry.value));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw_python_error();
      }
      return dict.release();
    });
  });
}

PyObject* graph_node_with_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"with_metadata", {"key", "value"}, 2};
    PyObject* argv[2];
    parse_args(sig, args, nargs, kwnames, argv);
    NodeData& data = node_of(self);
    ExclusiveAccess write(data.access);
    std::string_view key = arg_str(argv[0], sig.function, "key");
    ParamValue value = param_from_python_or_raise(argv[1], kConvertValue);
    // This call both changes the receiver and returns a separate copy. The
    // copy, a Python object, is made first: once it exists nothing can fail
    // (the extension's own allocations never fail, they abort), so a
    // MemoryError leaves the receiver as it was.
    Ref result = Ref::steal(new_instance<NodeData>(graph_node_type(), data));
    node_of(result.get()).metadata.insert_or_assign(key, value);
    data.metadata.insert_or_assign(key, std::move(value));
    return result.release();
  });
}

PyObject* graph_node_repr(PyObject* self) {
  return boundary<PyObject*>(nullptr, [&] {
    NodeData& data = node_of(self);
    SharedAccess read(data.access);
    std::string text = "GraphNode(id=" + std::to_string(data.id) + ", name='";
    text += data.name;
    text += "', config=";
    text += data.config.name;
    text += ")";
    return new_str(text);
  });
}

PyGetSetDef graph_node_getset[] = {
    {"id", graph_node_get_id, nullptr, "Node identifier.", nullptr},
    {"name", graph_node_get_name, nullptr, "Human-readable component name.", nullptr},
    {"config", graph_node_get_config, nullptr, "Model configuration for this component.", nullptr},
    {"metadata", graph_node_get_metadata, nullptr, "Custom metadata as a dictionary.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef graph_node_methods[] = {
    {"with_metadata",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(graph_node_with_metadata)),
     METH_FASTCALL | METH_KEYWORDS,
     "with_metadata(key, value)\n--\n\n"
     "Add metadata to this node.\n\n"
     "Metadata can store arbitrary annotations like optimization hints,\n"
     "layer types, or debugging information.\n\n"
     "Args:\n"
     "    key: Metadata key.\n"
     "    value: Any JSON-serializable value.\n\n"
     "Returns:\n"
     "    Self with metadata added."},
    {nullptr, nullptr, 0, nullptr},
};

const char graph_node_doc[] =
    "GraphNode(id, name, config)\n--\n\n"
    "A node in the build graph representing a model component.\n\n"
    "Each node contains:\n"
    "- A unique identifier (NodeId)\n"
    "- A human-readable name\n"
    "- A ModelConfig with parameters\n"
    "- Optional metadata for custom annotations\n\n"
    "Example:\n"
    "    >>> node = GraphNode(NodeId(0), \"encoder\", config)\n"
    "    >>> node.name\n"
    "    'encoder'\n"
    "    >>> node = node.with_metadata(\"layer_type\", \"attention\")";

PyType_Slot graph_node_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(graph_node_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<NodeData>)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_node_repr)},
    {Py_tp_getset, graph_node_getset},
    {Py_tp_methods, graph_node_methods},
    {Py_tp_doc, const_cast<char*>(graph_node_doc)},
    {0, nullptr},
};

PyType_Spec graph_node_spec = {
    "builtins.GraphNode", sizeof(Box<NodeData>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    graph_node_slots,
};

// ---------------------------------------------------------------- BuildGraph

struct GraphData {
  AccessFlag access;
  core::Graph graph;
  GraphData() = default;
  explicit GraphData(core::Graph g) : graph(std::move(g)) {}
};

GraphData& graph_of(PyObject* self) { return value_of<GraphData>(self); }

// The stable hash on an interpreter thread: Ctrl-C stops it between chunks.
std::string interruptible_hash(const core::Graph& graph) {
  std::optional<std::string> hash = graph.stable_hash(python_signal_raised);
  if (!hash) throw_python_error();
  return std::move(*hash);
}

PyObject* build_graph_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] {
    parse_no_args("BuildGraph", args, kwargs);
    return new_instance<GraphData>(build_graph_type());
  });
}

PyObject* build_graph_add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"add_node", {"name", "config"}, 2};
    PyObject* argv[2];
    parse_args(sig, args, nargs, kwnames, argv);
    std::string_view name = arg_str(argv[0], sig.function, "name");
    if (!is_model_config(argv[1]))
      raise_argument_type(sig.function, "config", "ModelConfig", argv[1]);
    // One object at a time (python/access.hpp): the configuration's text is
    // written under its access, which is let go before the graph is taken.
    const core::Graph::ConfigText text = [&] {
      ConfigData& config = config_data(argv[1]);
      SharedAccess read(config.access);
      return core::Graph::ConfigText(config.config);
    }();
    GraphData& data = graph_of(self);
    ExclusiveAccess write(data.access);
    // The result object first, so that nothing can fail once the node is in.
    Ref id = Ref::steal(new_node_id(data.graph.node_count() + 1));
    data.graph.add_node(name, text);
    return id.release();
  });
}

PyObject* build_graph_add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] {
    static const Signature sig{"add_edge", {"from_id", "to_id"}, 2};
    PyObject* argv[2];
    parse_args(sig, args, nargs, kwnames, argv);
    GraphData& data = graph_of(self);
    ExclusiveAccess write(data.access);
    if (!is_node_id(argv[0])) raise_argument_type(sig.function, "from_id", "NodeId", argv[0]);
    if (!is_node_id(argv[1])) raise_argument_type(sig.function, "to_id", "NodeId", argv[1]);
    data.graph.add_edge(node_id_of(argv[0]), node_id_of(argv[1]));
    return Py_NewRef(Py_None);
  });
}

PyObject* build_graph_get_nodes(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] {
    GraphData& data = graph_of(self);
    SharedAccess read(data.access);
    const core::Graph& graph = data.graph;
    Ref list = Ref::steal(new_list_to_fill(static_cast<Py_ssize_t>(graph.node_count())));
    SignalPacer pacer;
    for (std::size_t i = 0; i < graph.node_count(); ++i) {
      const core::NodeRecord record = graph.node(i);
      pacer.step(record.name.size() + record.config_json.size());
      ModelConfig config;
      if (!graph.node_config(i, config)) {
        throw InternalError("stored node configuration is not canonical JSON");
      }
      PyObject* node = new_instance<NodeData>(graph_node_type(), record.id,
                                              std::string(record.name), std::move(config));
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), node);
    }
    return finish_list(list.release());
  });
}

PyObject* build_graph_get_edges(PyObject* self, void*) {
  return boundary<PyObject*>(nullptr, [&] {
    GraphData& data = graph_of(self);
    SharedAccess read(data.access);
    const auto edges = data.graph.edges();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(edges.size())));
    if (!list) throw_python_error();
    for (std::size_t i = 0; i < edges.size(); ++i) {
      Ref from = Ref::steal(new_node_id(edges[i].from));
      Ref to = Ref::steal(new_node_id(edges[i].to));
      PyObject* pair = PyTuple_New(2);
      if (pair == nullptr) throw_python_error();
      PyTuple_SetItem(pair, 0, from.release());
      PyTuple_SetItem(pair, 1, to.release());
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

PyObject* build_graph_node_count(PyObject* self, PyObject*) {
  return boundary<PyObject*>(nullptr, [&] {
    GraphData& data = graph_of(self);
    SharedAccess read(data.access);
    PyObject* result = PyLong_FromSize_t(data.graph.node_count());
    if (result == nullptr) throw_python_error();
    return result;
  });
}

PyObject* build_graph_edge_count(PyObject* self, PyObject*) {
  return boundary<PyObject*>(nullptr, [&] {
    GraphData& data = graph_of(self);
    SharedAccess read(data.access);
    PyObject* result = PyLong_FromSize_t(data.graph.edge_count());
    if (result == nullptr) throw_python_error();
    return result;
  });
}

PyObject* build_graph_stable_hash(PyObject* self, PyObject*) {
  return boundary<PyObject*>(nullptr, [&] {
    GraphData& data = graph_of(self);
    SharedAccess read(data.access);
    return new_str(interruptible_hash(data.graph));
  });
}

Py_ssize_t build_graph_length(PyObject* self) {
  return boundary<Py_ssize_t>(-1, [&] {
    GraphData& data = graph_of(self);
    SharedAccess read(data.access);
    return static_cast<Py_ssize_t>(data.graph.node_count());
  });
}

// Edges do not count: a graph with edges but no nodes is false.
int build_graph_bool(PyObject* self) {
  return boundary<int>(-1, [&] {
    GraphData& data = graph_of(self);
    SharedAccess read(data.access);
    return data.graph.empty() ? 0 : 1;
  });
}

PyObject* build_graph_repr(PyObject* self) {
  return boundary<PyObject*>(nullptr, [&] {
    GraphData& data = graph_of(self);
    SharedAccess read(data.access);
    std::string text = "BuildGraph(nodes=" + std::to_string(data.graph.node_count()) +
                       ", edges=" + std::to_string(data.graph.edge_count()) + ", hash='";
    text += std::string_view(interruptible_hash(data.graph)).substr(0, 8);
    text += "')";
    return new_str(text);
  });
}

PyGetSetDef build_graph_getset[] = {
    {"nodes", build_graph_get_nodes, nullptr, "All nodes in the graph.", nullptr},
    {"edges", build_graph_get_edges, nullptr, "All edges as (source, target) pairs.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef build_graph_methods[] = {
    {"add_node", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_graph_add_node)),
     METH_FASTCALL | METH_KEYWORDS,
     "add_node(name, config)\n--\n\n"
     "Add a node to the graph.\n\n"
     "Args:\n"
     "    name: Human-readable component name.\n"
     "    config: ModelConfig for this component.\n\n"
     "Returns:\n"
     "    NodeId for the new node, usable in add_edge().\n\n"
     "Example:\n"
     "    >>> node_id = graph.add_node(\"encoder\", config)"},
    {"add_edge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_graph_add_edge)),
     METH_FASTCALL | METH_KEYWORDS,
     "add_edge(from_id, to_id)\n--\n\n"
     "Add a directed edge between nodes.\n\n"
     "Edges represent data flow from source to target. The graph must remain\n"
     "acyclic; keeping it so is the caller's duty, nothing checks it.\n\n"
     "Args:\n"
     "    from_id: Source node (data producer).\n"
     "    to_id: Target node (data consumer).\n\n"
     "Example:\n"
     "    >>> graph.add_edge(encoder_id, decoder_id)"},
    {"node_count", build_graph_node_count, METH_NOARGS,
     "node_count($self)\n--\n\nNumber of nodes in the graph."},
    {"edge_count", build_graph_edge_count, METH_NOARGS,
     "edge_count($self)\n--\n\nNumber of edges in the graph."},
    {"stable_hash", build_graph_stable_hash, METH_NOARGS,
     "stable_hash($self)\n--\n\n"
     "Compute deterministic SHA-256 hash of the graph.\n\n"
     "The hash is computed over canonicalized node and edge data: the same\n"
     "nodes and edges added in the same order give the same hash in every\n"
     "process and on every platform.\n\n"
     "Returns:\n"
     "    64-character hexadecimal hash string.\n\n"
     "Example:\n"
     "    >>> len(graph.stable_hash())\n"
     "    64"},
    {nullptr, nullptr, 0, nullptr},
};

const char build_graph_doc[] =
    "BuildGraph()\n--\n\n"
    "Directed acyclic graph representing model architecture.\n\n"
    "The graph stores nodes (model components) and directed edges (data flow\n"
    "between components).\n\n"
    "The graph supports deterministic hashing: the same architecture built the\n"
    "same way always produces the same hash. This matters for reproducible\n"
    "builds, cache validation and audit trails.\n\n"
    "Example:\n"
    "    >>> graph = BuildGraph()\n"
    "    >>> encoder = graph.add_node(\"encoder\", encoder_config)\n"
    "    >>> decoder = graph.add_node(\"decoder\", decoder_config)\n"
    "    >>> graph.add_edge(encoder, decoder)\n"
    "    >>> print(graph.stable_hash())\n\n"
    "Attributes:\n"
    "    nodes (list): All GraphNode objects in the graph.\n"
    "    edges (list): All edges as (from_id, to_id) tuples.";

PyType_Slot build_graph_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(build_graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<GraphData>)},
    {Py_tp_repr, reinterpret_cast<void*>(build_graph_repr)},
    {Py_mp_length, reinterpret_cast<void*>(build_graph_length)},
    {Py_nb_bool, reinterpret_cast<void*>(build_graph_bool)},
    {Py_tp_getset, build_graph_getset},
    {Py_tp_methods, build_graph_methods},
    {Py_tp_doc, const_cast<char*>(build_graph_doc)},
    {0, nullptr},
};

PyType_Spec build_graph_spec = {
    "builtins.BuildGraph", sizeof(Box<GraphData>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    build_graph_slots,
};

}  // namespace

TESSARIN_DEFINE_TYPE_GETTER(node_id_type, node_id_spec)
TESSARIN_DEFINE_TYPE_GETTER(graph_node_type, graph_node_spec)
TESSARIN_DEFINE_TYPE_GETTER(build_graph_type, build_graph_spec)

PyObject* new_node_id(std::uint64_t value) {
  return new_instance<NodeIdValue>(node_id_type(), NodeIdValue{value});
}

bool is_node_id(PyObject* obj) { return Py_IS_TYPE(obj, node_id_type()); }

bool is_build_graph(PyObject* obj) { return Py_IS_TYPE(obj, build_graph_type()); }

AccessFlag* graph_access_flag(PyObject* obj) {
  if (is_build_graph(obj)) return &graph_of(obj).access;
  if (Py_IS_TYPE(obj, graph_node_type())) return &node_of(obj).access;
  return nullptr;
}

core::Graph graph_copy_of(PyObject* obj) {
  GraphData& data = graph_of(obj);
  SharedAccess read(data.access);
  return data.graph;
}

core::Graph graph_arg_copy(PyObject* obj, const char* function, const char* name) {
  if (!is_build_graph(obj)) raise_argument_type(function, name, "BuildGraph", obj);
  return graph_copy_of(obj);
}

PyObject* new_build_graph(core::Graph graph) {
  return new_instance<GraphData>(build_graph_type(), std::move(graph));
}

std::uint64_t node_id_value(PyObject* obj) { return node_id_of(obj); }

void graph_node_fields(PyObject* obj, std::uint64_t& id, std::string& name, ModelConfig& config,
                       core::NodeMetadata& metadata) {
  NodeData& data = node_of(obj);
  SharedAccess read(data.access);
  id = data.id;
  name = data.name;
  config = data.config;
  metadata = data.metadata;
}

PyObject* new_graph_node(std::uint64_t id, std::string name, ModelConfig config,
                         core::NodeMetadata metadata) {
  PyObject* node =
      new_instance<NodeData>(graph_node_type(), id, std::move(name), std::move(config));
  node_of(node).metadata = std::move(metadata);
  return node;
}

}  // namespace tessarin::py
